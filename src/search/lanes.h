// Vector lanes: the types and the few operations the judges build on.
//
// A candidate attempt of a residue class is a 16-bit number u (see
// classes.h), so two vectors of 16-bit lanes hold a group of candidates,
// and one vector of bytes holds each compacted index, flag or position that
// the judges keep for them. The generic versions below use the compilers'
// vector extensions, which become SSE2 on x86 and NEON on ARM; the x86
// overloads use single instructions of AVX2 and AVX-512 where the
// extensions have no operator. Everything here is inlined into the kernels
// (kernels.cpp), each compiled for its vector unit, so no vector crosses a
// call; the overloads take and give references for the same reason.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#define SHUFFLESORT_X86 1
#include <immintrin.h>
#endif

namespace shufflesort {

// Vectors of 8, 16 and 32 lanes of 16 bits, and the byte vectors of twice
// as many lanes, unsigned and signed (every byte the judges compare is
// below 128, and x86 compares signed bytes in one instruction).
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
typedef std::uint32_t Words4 __attribute__((vector_size(16)));
typedef std::uint32_t Words8 __attribute__((vector_size(32)));
typedef std::uint32_t Words16 __attribute__((vector_size(64)));

template <typename KVec>
constexpr std::uint32_t SHORT_LANES = sizeof(KVec) / sizeof(std::uint16_t);

template <typename KVec>
using BytesOf = std::conditional_t<sizeof(KVec) == 16, Bytes16,
                                   std::conditional_t<sizeof(KVec) == 32, Bytes32, Bytes64>>;
template <typename KVec>
using SignedBytesOf =
    std::conditional_t<sizeof(KVec) == 16, SignedBytes16,
                       std::conditional_t<sizeof(KVec) == 32, SignedBytes32, SignedBytes64>>;
template <typename KVec>
using HalfBytesOf = std::conditional_t<sizeof(KVec) == 16, Bytes8,
                                       std::conditional_t<sizeof(KVec) == 32, Bytes16, Bytes32>>;
template <typename Vec>
using WordsOf = std::conditional_t<sizeof(Vec) == 16, Words4,
                                   std::conditional_t<sizeof(Vec) == 32, Words8, Words16>>;

// How the lane templates are inlined into the kernels. GCC flattens each
// kernel (its always_inline would refuse the vector units' intrinsics in a
// template of no particular target); clang inlines them always, since it
// refuses to compile a wide vector in a function of no such target.
#ifdef __clang__
#define SHUFFLESORT_LANE_INLINE __attribute__((always_inline)) inline
#else
#define SHUFFLESORT_LANE_INLINE inline
#endif

// Each lane's number, for vectors of up to 64 lanes.
constexpr std::uint8_t LANE_NUMBERS[64] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};

template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec lane_numbers() {
  Vec lanes = {};
  for (std::uint32_t lane = 0; lane < sizeof(Vec) / sizeof(lanes[0]); ++lane) lanes[lane] = lane;
  return lanes;
}

// Whether any lane is nonzero.
template <typename Vec>
SHUFFLESORT_LANE_INLINE bool any_lane(const Vec& lanes) {
  const auto words = (WordsOf<Vec>)lanes;
  std::uint32_t any = 0;
  for (std::uint32_t w = 0; w < sizeof(Vec) / 4; ++w) any |= words[w];
  return any != 0;
}

// The high half of each lane's 32-bit product.
template <typename KVec>
SHUFFLESORT_LANE_INLINE void high_product(const KVec& a, const KVec& b, KVec& high) {
  using Wide = WordsOf<std::conditional_t<sizeof(KVec) == 16, Shorts16, Shorts32>>;
  const Wide product = __builtin_convertvector(a, Wide) * __builtin_convertvector(b, Wide);
  high = __builtin_convertvector(product >> 16, KVec);
}

// The low bytes of two vectors' lanes, `low`'s first; every lane is below 128.
template <typename KVec>
SHUFFLESORT_LANE_INLINE void low_bytes(const KVec& low, const KVec& high, BytesOf<KVec>& bytes) {
  const HalfBytesOf<KVec> low_half = __builtin_convertvector(low, HalfBytesOf<KVec>);
  const HalfBytesOf<KVec> high_half = __builtin_convertvector(high, HalfBytesOf<KVec>);
  std::memcpy(&bytes, &low_half, sizeof low_half);
  std::memcpy(reinterpret_cast<char*>(&bytes) + sizeof low_half, &high_half, sizeof high_half);
}

// Each lane's byte of `table` at the lane's `index` (below 16; a wider
// table repeats its first 16 bytes). GCC makes it the target's byte
// shuffle where it has one (SSSE3, NEON); clang has no such builtin, and
// its builds, for the tests, pick the bytes one by one.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE Bytes byte_shuffle(const Bytes& table, const Bytes& index) {
#ifdef __clang__
  Bytes picked;
  for (std::uint32_t lane = 0; lane < sizeof(Bytes); ++lane) picked[lane] = table[index[lane] % 16];
  return picked;
#else
  return __builtin_shuffle(table, index);
#endif
}

// All-ones in the bytes whose lane holds, at the lane's `index` (below
// 128), a set bit of the 128 bits `bits` (16 bytes repeated through the
// vector): a byte picked by index / 8, then its bit index % 8.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE void has_bit(const Bytes& bits, const Bytes& bit_of, const Bytes& index,
                                     Bytes& has) {
  const Bytes byte = byte_shuffle(bits, (Bytes)(index >> 3));
  const Bytes bit = byte_shuffle(bit_of, (Bytes)(index & 7));
  has = (Bytes)((byte & bit) != 0);
}

// One less in the lanes of `value` where `compared` is above `index`
// (bytes below 128): a comparison gives -1 where it holds, and adding it
// takes one instruction where a choice would take three.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE void lower_where_above(Bytes& value, const Bytes& compared,
                                               const Bytes& index) {
  using Signed = SignedBytesOf<Bytes>;  // the same size
  value += (Bytes)((Signed)compared > (Signed)index);
}

#ifdef SHUFFLESORT_X86
// Whether any byte is nonzero, in one or two instructions.
inline bool any_lane(const Bytes16& lanes) {
  return _mm_movemask_epi8(_mm_cmpeq_epi8((__m128i)lanes, _mm_setzero_si128())) != 0xFFFF;
}
__attribute__((target("avx2"))) inline bool any_lane(const Bytes32& lanes) {
  return _mm256_testz_si256((__m256i)lanes, (__m256i)lanes) == 0;
}
__attribute__((target("avx512bw"))) inline bool any_lane(const Bytes64& lanes) {
  return _mm512_test_epi8_mask((__m512i)lanes, (__m512i)lanes) != 0;
}

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

inline void low_bytes(const Shorts8& low, const Shorts8& high, Bytes16& bytes) {
  bytes = (Bytes16)_mm_packus_epi16((__m128i)low, (__m128i)high);
}
__attribute__((target("avx2"))) inline void low_bytes(const Shorts16& low, const Shorts16& high,
                                                      Bytes32& bytes) {
  const __m256i packed = _mm256_packus_epi16((__m256i)low, (__m256i)high);  // in 128-bit halves
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

// With AVX-512 the comparison gives a mask, which a masked subtraction
// takes as it is.
__attribute__((target("avx512bw"))) inline void lower_where_above(Bytes64& value,
                                                                  const Bytes64& compared,
                                                                  const Bytes64& index) {
  value = (Bytes64)_mm512_mask_sub_epi8((__m512i)value,
                                        _mm512_cmpgt_epi8_mask((__m512i)compared, (__m512i)index),
                                        (__m512i)value, _mm512_set1_epi8(1));
}

// The bit lookup by byte shuffles, which look up within each 16 bytes.
__attribute__((target("avx2"))) inline void has_bit(const Bytes32& bits, const Bytes32& bit_of,
                                                    const Bytes32& index, Bytes32& has) {
  const __m256i byte = _mm256_shuffle_epi8(
      (__m256i)bits, _mm256_srli_epi16((__m256i)index, 3) & _mm256_set1_epi8(0x0F));
  const __m256i bit = _mm256_shuffle_epi8((__m256i)bit_of, (__m256i)(index & 7));
  has = (Bytes32)_mm256_cmpeq_epi8(byte & bit, bit);
}
// AVX-512 VBMI looks each index up in a table of 128 bytes at once, one
// flag byte for each index, `low` holding the first 64.
__attribute__((target("avx512bw,avx512vbmi"))) inline void has_flag(const Bytes64& low,
                                                                    const Bytes64& high,
                                                                    const Bytes64& index,
                                                                    Bytes64& has) {
  has = (Bytes64)_mm512_permutex2var_epi8((__m512i)low, (__m512i)index, (__m512i)high);
}
#endif

// A 32-bit word in every word of the vector. GCC fills narrow lanes from
// a scalar one lane at a time, but 32-bit ones in one broadcast.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec spread(std::uint32_t word) {
  return (Vec)(WordsOf<Vec>{} + word);
}

// Each 16-bit lane holding `value`, given twice in a word.
template <typename KVec>
SHUFFLESORT_LANE_INLINE KVec broadcast(std::uint32_t value) {
  return spread<KVec>((value & 0xFFFF) * 0x10001u);
}

// Each byte lane holding `value`, by the same means.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE Bytes broadcast_byte(std::uint32_t value) {
  return spread<Bytes>((value & 0xFF) * 0x01010101u);
}

}  // namespace shufflesort
