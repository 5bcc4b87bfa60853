// The lanes: vector types, the draw tests of the plan applied to many
// candidate attempts at once, one per lane, and the compaction of survivors.
//
// A candidate is the generator state after its attempt's first draw; draw
// i's state is then one multiply and add away, so any draw can be judged
// first. Everything here is inlined into the kernels (which are flattened),
// each compiled for its vector unit, so no vector crosses a call.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "search/draw_plan.h"
#include "shuffle.h"

namespace shufflesort {

// Vectors of 4, 8 and 16 lanes of 32 bits.
typedef std::uint32_t Lanes4 __attribute__((vector_size(16)));
typedef std::uint32_t Lanes8 __attribute__((vector_size(32)));
typedef std::uint32_t Lanes16 __attribute__((vector_size(64)));

template <typename Vec>
constexpr std::uint32_t LANES = sizeof(Vec) / sizeof(std::uint32_t);

// How the lane templates are inlined into the kernels. GCC flattens each
// kernel (its always_inline would refuse the vector units' intrinsics in a
// template of no particular target); clang inlines them always, since it
// refuses to compile a wide vector in a function of no such target.
#ifdef __clang__
#define SHUFFLESORT_LANE_INLINE __attribute__((always_inline)) inline
#else
#define SHUFFLESORT_LANE_INLINE inline
#endif

// Candidate lists: each candidate's state and a tag that tells which attempt
// it is. Room for one vector past the last entry is needed.
struct Candidates {
  std::uint32_t* states;
  std::uint32_t* tags;
};

template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec lane_indices() {
  Vec index = {};
  for (std::uint32_t lane = 0; lane < LANES<Vec>; ++lane) index[lane] = lane;
  return index;
}

// Whether any lane is nonzero: a horizontal OR, which the compiler maps to
// the target's reduction; x86 has single instructions for it.
template <typename Vec>
SHUFFLESORT_LANE_INLINE bool any_lane(Vec lanes) {
  std::uint32_t any = 0;
  for (std::uint32_t lane = 0; lane < LANES<Vec>; ++lane) any |= lanes[lane];
  return any != 0;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline bool any_lane(const Lanes8& lanes) {
  return _mm256_testz_si256((__m256i)lanes, (__m256i)lanes) == 0;
}
__attribute__((target("avx512f"))) inline bool any_lane(const Lanes16& lanes) {
  return _mm512_test_epi32_mask((__m512i)lanes, (__m512i)lanes) != 0;
}
// A mask word for each lane's index, looked up in one permute. It takes
// and gives references: no wide vector crosses its call.
__attribute__((target("avx512f"))) inline void mask_word(const std::uint32_t* mask,
                                                         const Lanes16& word_index, Lanes16& word) {
  const __m512i words = _mm512_maskz_loadu_epi32((1u << MASK_WORDS) - 1, mask);
  word = (Lanes16)_mm512_maskz_permutexvar_epi32(0xFFFF, (__m512i)word_index, words);
}
// The same for 8 lanes by AVX2's permute, the mask in both halves.
__attribute__((target("avx2"))) inline void mask_word(const std::uint32_t* mask,
                                                      const Lanes8& word_index, Lanes8& word) {
  static_assert(MASK_WORDS <= 4, "one 128-bit load holds the mask");
  __m128i words = _mm_setzero_si128();
  std::memcpy(&words, mask, MASK_WORDS * sizeof *mask);
  word =
      (Lanes8)_mm256_permutevar8x32_epi32(_mm256_broadcastsi128_si256(words), (__m256i)word_index);
}
#endif

// Each lane's word of `mask`, for a word index below `words`.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec mask_word(const std::uint32_t* mask, int words, Vec word_index) {
  Vec word = Vec{} + mask[0];
  for (int w = 1; w < words; ++w) {
    const Vec here = (Vec)(word_index == static_cast<std::uint32_t>(w));
    word = (word & ~here) | (mask[w] & here);
  }
  return word;
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec draw_result(Vec state) {
  return (state >> LCG_OUTPUT_SHIFT) & LCG_OUTPUT_MASK;
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec remainder(Vec result, const Remainder& by) {
  return result - ((result * by.magic) >> by.shift) * by.divisor;
}

// All-ones in the lanes whose index is a set bit of `mask`, which has
// `words` words in use.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec mask_has(const std::uint32_t* mask, int words, Vec index) {
  Vec word;
  // Only the x86 kernels have lanes this wide, and a permute for them.
  if constexpr (sizeof(Vec) > sizeof(Lanes4)) {
    mask_word(mask, index >> 5, word);
  } else {
    word = mask_word<Vec>(mask, words, index >> 5);
  }
  return (Vec)(((word >> (index & 31)) & 1) != 0);
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec test_passes(const DrawTest& test, Vec state) {
  const Vec result = draw_result(state * test.multiplier + test.increment);
  if (test.masked) {
    return mask_has<Vec>(test.mask, test.mask_words, remainder(result, test.remainder));
  }
  return (Vec)((result + test.offset) * test.factor < test.threshold);
}

// Vectors judged side by side: the multiplies of one draw take several
// cycles each, and independent vectors keep the unit busy meanwhile.
constexpr int GROUP = 4;

template <typename Vec>
struct Group {
  Vec lanes[GROUP];
};

template <typename Vec>
SHUFFLESORT_LANE_INLINE bool any_lane_of(const Group<Vec>& group) {
  Vec any = group.lanes[0];
  for (int g = 1; g < GROUP; ++g) any |= group.lanes[g];
  return any_lane(any);
}

// For each 8-bit mask, the positions of its set bits in increasing order:
// as bytes of a 64-bit word, and doubled into the byte pairs of 16-bit
// lanes. A byte shuffle by them packs the chosen lanes at the front.
struct CompactionPatterns {
  std::uint64_t bytes[256] = {};
  std::uint8_t words[256][16] = {};
};

constexpr CompactionPatterns make_compaction_patterns() {
  CompactionPatterns patterns;
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::size_t taken = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if ((mask >> lane & 1) == 0) continue;
      patterns.bytes[mask] |= std::uint64_t{lane} << (8 * taken);
      patterns.words[mask][2 * taken] = static_cast<std::uint8_t>(2 * lane);
      patterns.words[mask][2 * taken + 1] = static_cast<std::uint8_t>(2 * lane + 1);
      ++taken;
    }
  }
  return patterns;
}

inline constexpr CompactionPatterns COMPACTION_PATTERNS = make_compaction_patterns();

#if defined(__x86_64__) || defined(__i386__)
// The same as the template below for 16 lanes, by AVX-512 compress; it takes
// references, so no vector crosses its call.
void append_hits(const Lanes16& hit, const Lanes16& state, const Lanes16& tag, Candidates out,
                 std::uint32_t& found);

// The same for 8 lanes by AVX2's permute, from the hits' pattern.
__attribute__((target("avx2"))) inline void append_hits(const Lanes8& hit, const Lanes8& state,
                                                        const Lanes8& tag, Candidates out,
                                                        std::uint32_t& found) {
  const auto chosen = static_cast<std::uint32_t>(_mm256_movemask_ps((__m256)hit));
  const __m256i pattern = _mm256_cvtepu8_epi32(
      _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&COMPACTION_PATTERNS.bytes[chosen])));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.states + found),
                      _mm256_permutevar8x32_epi32((__m256i)state, pattern));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.tags + found),
                      _mm256_permutevar8x32_epi32((__m256i)tag, pattern));
  found += static_cast<std::uint32_t>(__builtin_popcount(chosen));
}
#endif

// Appends the lanes set in `hit` to `out` at `found`, without branching on
// each lane: every lane is written, and only a hit moves the end on.
template <typename Vec>
SHUFFLESORT_LANE_INLINE void append_hits(Vec hit, Vec state, Vec tag, Candidates out,
                                         std::uint32_t& found) {
  for (std::uint32_t lane = 0; lane < LANES<Vec>; ++lane) {
    out.states[found] = state[lane];
    out.tags[found] = tag[lane];
    found += hit[lane] & 1;
  }
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE void collect(const Group<Vec>& hit, const Group<Vec>& state,
                                     const Group<Vec>& tag, Candidates out, std::uint32_t& found) {
  if (!any_lane_of(hit)) return;
  for (int g = 0; g < GROUP; ++g) {
    if (any_lane(hit.lanes[g])) append_hits(hit.lanes[g], state.lanes[g], tag.lanes[g], out, found);
  }
}

// Each lane's own index in a group: 0, 1, 2, ...
template <typename Vec>
SHUFFLESORT_LANE_INLINE Group<Vec> group_indices() {
  Group<Vec> index = {};
  for (int g = 0; g < GROUP; ++g) index.lanes[g] = lane_indices<Vec>() + g * LANES<Vec>;
  return index;
}

// All-ones in the lanes whose index in the group, counted from `start`,
// is below `count`.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Group<Vec> group_below(std::uint32_t start, std::uint32_t count) {
  Group<Vec> below = group_indices<Vec>();
  for (int g = 0; g < GROUP; ++g) below.lanes[g] = (Vec)(below.lanes[g] + start < count);
  return below;
}

}  // namespace shufflesort
