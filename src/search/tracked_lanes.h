// A tracked block judged in 16-bit lanes, one residue class at a time.
//
// In a residue class (see classes.cpp) candidate k's draw i has the result
// (base_i + k * step_i) mod 2^15, where base_i is the result of the class's
// candidate 0 and step_i = a^i * d mod 2^15. So a class's candidates need
// no 32-bit state: k, each result and each compacted index fit in 16 bits,
// twice the lanes of the 32-bit judges, with cheaper multiplies, and the
// draws do not wait for each other.
//
// A tracked block (at most MAX_TRACKED larger values in its first pool)
// fails only when a draw takes a larger value, which most candidates do
// within a few draws, each after its own number. So the judge goes a chunk
// of draws at a time: after each chunk the survivors are compacted with the
// larger values' compacted indices, and the next chunk carries on from
// there, never judging a draw twice and keeping the lanes full.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "search/draw_plan.h"
#include "search/lanes.h"
#include "shuffle.h"

namespace shufflesort {

// Vectors of 8, 16 and 32 lanes of 16 bits.
typedef std::uint16_t Shorts8 __attribute__((vector_size(16)));
typedef std::uint16_t Shorts16 __attribute__((vector_size(32)));
typedef std::uint16_t Shorts32 __attribute__((vector_size(64)));

template <typename Vec>
constexpr std::uint32_t SHORT_LANES = sizeof(Vec) / sizeof(std::uint16_t);

// Draws judged between two compactions of the survivors.
constexpr std::uint32_t TRACKED_CHUNK = 8;

// One residue class's candidates [k_first, k_end) and, for each draw q of
// the tracked block, base_q and step_q of its result (the class's own).
struct TrackedClass {
  std::uint32_t k_first = 0;
  std::uint32_t k_end = 0;
  std::uint16_t result_base[MAX_VALUES] = {};
  std::uint16_t result_step[MAX_VALUES] = {};
};

// Survivors, as lists side by side: each one's k and its larger values'
// compacted indices. Each list needs room for a vector past its last entry.
struct TrackedLists {
  std::uint16_t* k;
  std::uint16_t* larger[MAX_TRACKED];
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
using WordsOf = std::conditional_t<sizeof(Vec) == sizeof(Lanes4), Lanes4,
                                   std::conditional_t<sizeof(Vec) == sizeof(Lanes8), Lanes8, Lanes16>>;

// Whether any lane is nonzero.
template <typename Vec>
SHUFFLESORT_LANE_INLINE bool any_short_lane(const Vec& lanes) {
  return any_lane((WordsOf<Vec>)lanes);
}

// Draw q's compacted index for each lane's k: the result's remainder by the
// pool size, as r - divisor * ((r * magic) >> shift), the high half first.
// A tracked block's pools hold two values or more, so shift >= 16.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec tracked_index(const DrawPlan& plan, const ScatteredBlock& block,
                                          const TrackedClass& run, std::uint32_t q, Vec k) {
  const Remainder& by = plan.remainders[block.pool_size - q];
  const Vec result = (k * run.result_step[q] + run.result_base[q]) & LCG_OUTPUT_MASK;
  const Vec magic = Vec{} + static_cast<std::uint16_t>(by.magic);
  Vec quotient;
  high_product(result, magic, quotient);
  quotient >>= static_cast<std::uint16_t>(by.shift - 16);
  return result - quotient * static_cast<std::uint16_t>(by.divisor);
}

// Draws [first, end) of the block for one vector of candidates: a draw
// fails when it takes a larger value; the larger values above it move down.
template <typename Vec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE void judge_tracked_draws(const DrawPlan& plan, const ScatteredBlock& block,
                                                 const TrackedClass& run, std::uint32_t first,
                                                 std::uint32_t end, const Vec& k, Vec* larger,
                                                 Vec& alive) {
  for (std::uint32_t q = first; q < end; ++q) {
    const Vec index = tracked_index<Vec>(plan, block, run, q, k);
    // Zero exactly where a larger value is taken: the least of the
    // differences' bits, which keeps the comparisons off the critical path.
    Vec taken = larger[0] ^ index;
    for (std::uint32_t j = 0; j < TRACKED; ++j) {
      const Vec differs = larger[j] ^ index;
      taken = differs < taken ? differs : taken;
      larger[j] = larger[j] > index ? larger[j] - 1 : larger[j];
    }
    alive &= (Vec)(taken != 0);
    if ((q - first) % 4 == 3 && !any_short_lane(alive)) return;
  }
}

// Appends the alive lanes' k and larger indices to `out` at `found`,
// without branching on each lane: every lane is written, and only an alive
// one moves the end on.
template <std::uint32_t TRACKED, typename Vec>
SHUFFLESORT_LANE_INLINE void append_alive(const Vec& alive, const Vec& k, const Vec* larger,
                                          TrackedLists out, std::uint32_t& found) {
  for (std::uint32_t lane = 0; lane < SHORT_LANES<Vec>; ++lane) {
    out.k[found] = k[lane];
    for (std::uint32_t j = 0; j < TRACKED; ++j) out.larger[j][found] = larger[j][lane];
    found += alive[lane] & 1;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same for 32 lanes, by AVX-512 compress.
template <std::uint32_t TRACKED>
__attribute__((target("avx512bw,avx512vbmi2"))) inline void append_alive(
    const Shorts32& alive, const Shorts32& k, const Shorts32* larger, TrackedLists out,
    std::uint32_t& found) {
  const __mmask32 mask = _mm512_test_epi16_mask((__m512i)alive, (__m512i)alive);
  _mm512_storeu_si512(out.k + found, _mm512_maskz_compress_epi16(mask, (__m512i)k));
  for (std::uint32_t j = 0; j < TRACKED; ++j) {
    _mm512_storeu_si512(out.larger[j] + found,
                        _mm512_maskz_compress_epi16(mask, (__m512i)larger[j]));
  }
  found += static_cast<std::uint32_t>(__builtin_popcount(mask));
}
#endif

// The class's candidates on the whole block: the first chunk of draws on
// candidates made from k, the later ones on the survivors of the one
// before. Returns how many survive, their k first in `lists.k`.
template <typename Vec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE std::uint32_t tracked_block_of_class(const DrawPlan& plan,
                                                             const ScatteredBlock& block,
                                                             const TrackedClass& run,
                                                             TrackedLists lists) {
  constexpr std::uint32_t LANES = SHORT_LANES<Vec>;
  Vec lane = {};
  for (std::uint32_t l = 0; l < LANES; ++l) lane[l] = static_cast<std::uint16_t>(l);
  std::uint32_t end = std::min(block.copies, TRACKED_CHUNK);
  std::uint32_t count = 0;
  for (std::uint32_t start = run.k_first; start < run.k_end; start += LANES) {
    const Vec k = lane + static_cast<std::uint16_t>(start);
    Vec alive = (Vec)(k < static_cast<std::uint16_t>(run.k_end));
    Vec larger[TRACKED] = {};
    for (std::uint32_t j = 0; j < TRACKED; ++j) {
      larger[j] += static_cast<std::uint16_t>(block.larger_indices[j]);
    }
    judge_tracked_draws<Vec, TRACKED>(plan, block, run, 0, end, k, larger, alive);
    if (any_short_lane(alive)) append_alive<TRACKED>(alive, k, larger, lists, count);
  }
  for (std::uint32_t first = end; first < block.copies && count > 0; first = end) {
    end = std::min(block.copies, first + TRACKED_CHUNK);
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += LANES) {
      Vec k;
      Vec larger[TRACKED];
      std::memcpy(&k, lists.k + start, sizeof k);
      for (std::uint32_t j = 0; j < TRACKED; ++j) {
        std::memcpy(&larger[j], lists.larger[j] + start, sizeof larger[j]);
      }
      Vec alive = (Vec)((lane + static_cast<std::uint16_t>(start)) <
                        static_cast<std::uint16_t>(count));
      judge_tracked_draws<Vec, TRACKED>(plan, block, run, first, end, k, larger, alive);
      if (any_short_lane(alive)) append_alive<TRACKED>(alive, k, larger, lists, kept);
    }
    count = kept;
  }
  return count;
}

}  // namespace shufflesort
