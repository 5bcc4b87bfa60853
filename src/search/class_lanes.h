// A block judged in 16-bit and 8-bit lanes, one residue class at a time.
//
// In a residue class (see classes.cpp) candidate k's draw i has the result
// (base_i + k * step_i) mod 2^15, where base_i is the result of the class's
// candidate 0 and step_i = a^i * d mod 2^15. So a class's candidates need
// no 32-bit state: k, each result and each compacted index fit in 16 bits,
// twice the lanes of the 32-bit judges, with cheaper multiplies, and the
// draws do not wait for each other.
//
// The judges (tracked_lanes.h, scattered_lanes.h) go a chunk of draws at a
// time: after each chunk the survivors are compacted with what their lanes
// carry from draw to draw, in bytes (every compacted index is below 128),
// and the next chunk carries on from there, never judging a draw twice and
// keeping the lanes full. Each vector of bytes serves two vectors of k.
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
// first. A tracked block's pools hold two values or more, so shift >= 16.
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

// Appends the alive candidates to `out` at `found`, with the first `used`
// of their bytes, without branching on each: every one is written, and only
// an alive one moves the end on.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE void append_alive(const ClassLanes<KVec, N>& lanes, std::uint32_t used,
                                          const ClassLists& out, std::uint32_t& found) {
  constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
  for (std::uint32_t lane = 0; lane < 2 * LANES; ++lane) {
    out.k[found] = lanes.k[lane / LANES][lane % LANES];
    for (std::uint32_t j = 0; j < used; ++j) out.bytes[j][found] = lanes.bytes[j][lane];
    found += lanes.alive[lane] & 1;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same for 64 candidates, by AVX-512 compress.
template <std::uint32_t N>
__attribute__((target("avx512bw,avx512vbmi2"))) inline void append_alive(
    const ClassLanes<Shorts32, N>& lanes, std::uint32_t used, const ClassLists& out,
    std::uint32_t& found) {
  const __mmask64 mask = _mm512_test_epi8_mask((__m512i)lanes.alive, (__m512i)lanes.alive);
  const auto low_mask = static_cast<__mmask32>(mask);
  const auto high_mask = static_cast<__mmask32>(mask >> 32);
  const std::uint32_t low_count = static_cast<std::uint32_t>(__builtin_popcount(low_mask));
  _mm512_storeu_si512(out.k + found, _mm512_maskz_compress_epi16(low_mask, (__m512i)lanes.k[0]));
  _mm512_storeu_si512(out.k + found + low_count,
                      _mm512_maskz_compress_epi16(high_mask, (__m512i)lanes.k[1]));
  for (std::uint32_t j = 0; j < used; ++j) {
    _mm512_storeu_si512(out.bytes[j] + found,
                        _mm512_maskz_compress_epi8(mask, (__m512i)lanes.bytes[j]));
  }
  found += low_count + static_cast<std::uint32_t>(__builtin_popcount(high_mask));
}
// The same for 32 candidates with AVX2, which has no compress: eight at a
// time, each list's lanes packed by a byte shuffle from the patterns. The
// bytes go sixteen to a shuffle, two groups packed in its halves.
template <std::uint32_t N>
__attribute__((target("avx2"))) inline void append_alive(const ClassLanes<Shorts16, N>& lanes,
                                                         std::uint32_t used, const ClassLists& out,
                                                         std::uint32_t& found) {
  const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)lanes.alive));
  const auto* k = reinterpret_cast<const __m128i*>(lanes.k);
  std::uint32_t at[4];  // where each group's survivors go
  __m128i byte_pattern[2];
  for (std::uint32_t group = 0; group < 4; ++group) {
    const std::uint32_t chosen = (mask >> (8 * group)) & 0xFF;
    at[group] = found;
    const __m128i word_pattern =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(COMPACTION_PATTERNS.words[chosen]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.k + found),
                     _mm_shuffle_epi8(_mm_loadu_si128(k + group), word_pattern));
    found += static_cast<std::uint32_t>(__builtin_popcount(chosen));
  }
  for (std::uint32_t half = 0; half < 2; ++half) {
    const auto pattern_of = [&](std::uint32_t group) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(
          &COMPACTION_PATTERNS.bytes[(mask >> (8 * group)) & 0xFF]));
    };
    const Bytes16 high = (Bytes16)pattern_of(2 * half + 1) + 8;  // the second group's bytes
    byte_pattern[half] = _mm_unpacklo_epi64(pattern_of(2 * half), (__m128i)high);
  }
  for (std::uint32_t j = 0; j < used; ++j) {
    const auto* bytes = reinterpret_cast<const __m128i*>(&lanes.bytes[j]);
    for (std::size_t half = 0; half < 2; ++half) {
      const __m128i packed = _mm_shuffle_epi8(_mm_loadu_si128(bytes + half), byte_pattern[half]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out.bytes[j] + at[2 * half]), packed);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out.bytes[j] + at[2 * half + 1]),
                       _mm_unpackhi_epi64(packed, packed));
    }
  }
}
#endif

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

// The class's candidates [k_first, k_end) judged on the block's first
// `depth` draws, `chunk` draws at a time: the first chunk on candidates made
// from k, each later one on the survivors of the one before. The judge sets
// a fresh candidate's bytes (`start`), judges draws [first, end) (`draws`)
// and says how many bytes a candidate carries past draw `end` (`carried`).
// Returns how many survive, their k first in `lists.k`.
template <typename KVec, std::uint32_t N, typename Judge>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_class_in_chunks(const BlockClass& run,
                                                            std::uint32_t depth,
                                                            std::uint32_t chunk, const Judge& judge,
                                                            const ClassLists& lists) {
  constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
  KVec lane;
  std::memcpy(&lane, LANE_NUMBERS, sizeof lane);
  // The survivors of the last chunk need only their k.
  const auto carried = [&](std::uint32_t end) { return end < depth ? judge.carried(end) : 0; };
  std::uint32_t end = std::min(depth, chunk);
  std::uint32_t count = 0;
  for (std::uint32_t start = run.k_first; start < run.k_end; start += 2 * LANES) {
    ClassLanes<KVec, N> lanes;
    lanes.k[0] = lane + static_cast<std::uint16_t>(start);
    lanes.k[1] = lane + static_cast<std::uint16_t>(start + LANES);
    lanes.alive = lanes_below(lane, start, run.k_end);
    judge.start(lanes);
    judge.draws(lanes, 0, end);
    if (any_short_lane(lanes.alive)) append_alive(lanes, carried(end), lists, count);
  }
  for (std::uint32_t first = end; first < depth && count > 0; first = end) {
    end = std::min(depth, first + chunk);
    const std::uint32_t loaded = carried(first);
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += 2 * LANES) {
      ClassLanes<KVec, N> lanes;
      std::memcpy(&lanes.k, lists.k + start, sizeof lanes.k);
      for (std::uint32_t j = 0; j < loaded; ++j) {
        std::memcpy(&lanes.bytes[j], lists.bytes[j] + start, sizeof lanes.bytes[j]);
      }
      lanes.alive = lanes_below(lane, start, count);
      judge.draws(lanes, first, end);
      if (any_short_lane(lanes.alive)) append_alive(lanes, carried(end), lists, kept);
    }
    count = kept;
  }
  return count;
}

}  // namespace shufflesort
