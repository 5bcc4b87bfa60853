// A block judged in 16-bit and 8-bit lanes, one residue class at a time.
//
// In a residue class (see classes.cpp) candidate k's draw i has the result
// (base_i + k * step_i) mod 2^15, where base_i is the result of the class's
// candidate 0 and step_i = a^i * d mod 2^15. So a class's candidates need
// no 32-bit state: k, each result and each compacted index fit in 16 bits,
// twice the lanes of the 32-bit judges, with cheaper multiplies, and the
// draws do not wait for each other.
//
// The judges (tracked_lanes.h, scattered_lanes.h) go a chunk of draws at
// a time (class_chunks.h): after each chunk the survivors are compacted
// with what their lanes carry from draw to draw, in bytes (every compacted
// index is below 128), and the next chunk carries on from there, never
// judging a draw twice and keeping the lanes full. Each vector of bytes
// serves two vectors of k.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "search/draw_plan.h"
#include "search/lanes.h"
#include "shuffle.h"

namespace shufflesort {

// Vectors of 8, 16 and 32 lanes of 16 bits, and of 8 to 64 lanes of 8 bits.
typedef std::uint16_t Shorts8 __attribute__((vector_size(16)));
typedef std::uint16_t Shorts16 __attribute__((vector_size(32)));
typedef std::uint16_t Shorts32 __attribute__((vector_size(64)));
typedef std::uint8_t Bytes8 __attribute__((vector_size(8)));
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));
typedef std::uint8_t Bytes64 __attribute__((vector_size(64)));
typedef std::int8_t SignedBytes16 __attribute__((vector_size(16)));
typedef std::int8_t SignedBytes32 __attribute__((vector_size(32)));
typedef std::int8_t SignedBytes64 __attribute__((vector_size(64)));

// The byte lanes for the candidates of two vectors of k, and the bytes of
// one such vector's lanes.
template <typename KVec>
using BytesOf = std::conditional_t<sizeof(KVec) == 16, Bytes16,
                                   std::conditional_t<sizeof(KVec) == 32, Bytes32, Bytes64>>;
template <typename KVec>
using HalfBytesOf = std::conditional_t<sizeof(KVec) == 16, Bytes8,
                                       std::conditional_t<sizeof(KVec) == 32, Bytes16, Bytes32>>;

// The same bytes signed: every index here is below 128, and x86 compares
// signed bytes in one instruction, unsigned ones in three.
template <typename KVec>
using SignedBytesOf =
    std::conditional_t<sizeof(KVec) == 16, SignedBytes16,
                       std::conditional_t<sizeof(KVec) == 32, SignedBytes32, SignedBytes64>>;

template <typename Vec>
constexpr std::uint32_t SHORT_LANES = sizeof(Vec) / sizeof(std::uint16_t);

// Each lane's number, for vectors of up to 32 lanes of 16 bits.
constexpr std::uint16_t LANE_NUMBERS[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                            11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                            22, 23, 24, 25, 26, 27, 28, 29, 30, 31};

// What a draw of the block needs, each lane number twice in a
// 32-bit word: a 32-bit broadcast fills the 16-bit lanes with it, the
// cheapest way to get a number into them.
struct ClassDraw {
  std::uint32_t result_base;  // base_q and step_q of the result, the class's own
  std::uint32_t result_step;
  std::uint32_t magic;  // the remainder by the pool size
  std::uint32_t shift;  // shift less 16, once: one shift for every lane
  std::uint32_t divisor;
};

// A 16-bit number twice in a 32-bit word.
constexpr std::uint32_t twice(std::uint32_t half) { return half * 0x10001u; }

// One residue class's candidates [k_first, k_end) and each draw of the
// tracked block.
struct BlockClass {
  std::uint32_t k_first = 0;
  std::uint32_t k_end = 0;
  ClassDraw draws[MAX_VALUES] = {};
};

// The most bytes a candidate carries: one for each draw of a block.
constexpr std::uint32_t CLASS_BYTE_LISTS = MAX_VALUES;
static_assert(MAX_TRACKED <= CLASS_BYTE_LISTS, "a tracked block's larger values fit the lists");

// Survivors, as lists side by side: each one's k and the bytes its lanes
// carry. Each list needs room for two vectors past its end.
struct ClassLists {
  std::uint16_t* k;
  std::uint8_t* bytes[CLASS_BYTE_LISTS];
};

// The high half of each lane's 32-bit product. The compilers know no
// operator for it; most vector units have an instruction.
template <typename Vec>
SHUFFLESORT_LANE_INLINE void high_product(const Vec& a, const Vec& b, Vec& high) {
  using Wide = std::conditional_t<sizeof(Vec) == sizeof(Lanes4), Lanes8, Lanes16>;
  const Wide product = __builtin_convertvector(a, Wide) * __builtin_convertvector(b, Wide);
  high = __builtin_convertvector(product >> 16, Vec);
}

#if defined(__x86_64__) || defined(__i386__)
inline void high_product(const Shorts8& a, const Shorts8& b, Shorts8& high) {
  high = (Shorts8)_mm_mulhi_epu16((__m128i)a, (__m128i)b);
}
__attribute__((target("avx2"))) inline void high_product(const Shorts16& a, const Shorts16& b,
                                                         Shorts16& high) {
  high = (Shorts16)_mm256_mulhi_epu16((__m256i)a, (__m256i)b);
}
__attribute__((target("avx512bw"))) inline void high_product(const Shorts32& a, const Shorts32& b,
                                                             Shorts32& high) {
  high = (Shorts32)_mm512_mulhi_epu16((__m512i)a, (__m512i)b);
}
#endif

// The 32-bit lanes of the same width, whose tests serve the 16-bit ones.
template <typename Vec>
using WordsOf =
    std::conditional_t<sizeof(Vec) == sizeof(Lanes4), Lanes4,
                       std::conditional_t<sizeof(Vec) == sizeof(Lanes8), Lanes8, Lanes16>>;

// Whether any lane is nonzero.
template <typename Vec>
SHUFFLESORT_LANE_INLINE bool any_short_lane(const Vec& lanes) {
  using Words =
      std::conditional_t<sizeof(Vec) == sizeof(Lanes4), Lanes4,
                         std::conditional_t<sizeof(Vec) == sizeof(Lanes8), Lanes8, Lanes16>>;
  return any_lane((Words)lanes);
}

// The low bytes of two vectors' lanes, `low`'s first.
template <typename KVec>
SHUFFLESORT_LANE_INLINE void low_bytes(const KVec& low, const KVec& high, BytesOf<KVec>& bytes) {
  const HalfBytesOf<KVec> low_half = __builtin_convertvector(low, HalfBytesOf<KVec>);
  const HalfBytesOf<KVec> high_half = __builtin_convertvector(high, HalfBytesOf<KVec>);
  std::memcpy(&bytes, &low_half, sizeof low_half);
  std::memcpy(reinterpret_cast<char*>(&bytes) + sizeof low_half, &high_half, sizeof high_half);
}

#if defined(__x86_64__) || defined(__i386__)
// The same by packing with signed saturation: every lane here is an index
// below 128 or a mask of 0 or -1, which the packing keeps.
inline void low_bytes(const Shorts8& low, const Shorts8& high, Bytes16& bytes) {
  bytes = (Bytes16)_mm_packs_epi16((__m128i)low, (__m128i)high);
}
__attribute__((target("avx2"))) inline void low_bytes(const Shorts16& low, const Shorts16& high,
                                                      Bytes32& bytes) {
  const __m256i packed = _mm256_packs_epi16((__m256i)low, (__m256i)high);  // in 128-bit halves
  bytes = (Bytes32)_mm256_permute4x64_epi64(packed, 0xD8);
}
__attribute__((target("avx512bw,avx512vbmi"))) inline void low_bytes(const Shorts32& low,
                                                                     const Shorts32& high,
                                                                     Bytes64& bytes) {
  const __m512i even = _mm512_set_epi64(0x7E7C7A7876747270, 0x6E6C6A6866646260, 0x5E5C5A5856545250,
                                        0x4E4C4A4846444240, 0x3E3C3A3836343230, 0x2E2C2A2826242220,
                                        0x1E1C1A1816141210, 0x0E0C0A0806040200);
  bytes = (Bytes64)_mm512_permutex2var_epi8((__m512i)low, even, (__m512i)high);
}
#endif

// Each 16-bit lane holding the number given twice in `word`.
template <typename KVec>
SHUFFLESORT_LANE_INLINE KVec broadcast(std::uint32_t word) {
  using Words =
      std::conditional_t<sizeof(KVec) == sizeof(Lanes4), Lanes4,
                         std::conditional_t<sizeof(KVec) == sizeof(Lanes8), Lanes8, Lanes16>>;
  return (KVec)(Words{} + word);
}

// The draw's compacted index for each lane's k: the result's remainder by
// the pool size, as r - divisor * ((r * magic) >> shift), the high half
// first. A block's pools hold two values or more, so shift >= 16.
template <typename KVec>
SHUFFLESORT_LANE_INLINE KVec class_draw_index(const ClassDraw& draw, const KVec& k) {
  const KVec result =
      (k * broadcast<KVec>(draw.result_step) + broadcast<KVec>(draw.result_base)) & LCG_OUTPUT_MASK;
  KVec quotient;
  high_product(result, broadcast<KVec>(draw.magic), quotient);
  quotient >>= static_cast<int>(draw.shift);  // a uniform shift: AVX2 has no per-lane one
  return result - quotient * broadcast<KVec>(draw.divisor);
}

// Two vectors of candidates, k[0]'s lanes first: their k, and in bytes
// whether each is alive and what its lanes carry from draw to draw.
template <typename KVec, std::uint32_t N>
struct ClassLanes {
  KVec k[2];
  BytesOf<KVec> alive;
  BytesOf<KVec> bytes[N];
};

// The draw's compacted index for each of the two vectors' candidates, in
// bytes.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE BytesOf<KVec> draw_indices(const ClassDraw& draw,
                                                   const ClassLanes<KVec, N>& lanes) {
  BytesOf<KVec> index;
  low_bytes(class_draw_index(draw, lanes.k[0]), class_draw_index(draw, lanes.k[1]), index);
  return index;
}

// Whether each of the two vectors' lanes, numbered from `start`, is below
// `end`, in bytes; `lane` holds each lane's number in a vector.
template <typename KVec>
SHUFFLESORT_LANE_INLINE BytesOf<KVec> lanes_below(const KVec& lane, std::uint32_t start,
                                                  std::uint32_t end) {
  const auto low = static_cast<std::uint16_t>(start);
  const auto high = static_cast<std::uint16_t>(start + SHORT_LANES<KVec>);
  const auto limit = static_cast<std::uint16_t>(end);
  BytesOf<KVec> below;
  low_bytes((KVec)(lane + low < limit), (KVec)(lane + high < limit), below);
  return below;
}

}  // namespace shufflesort
