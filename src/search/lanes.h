// The lane judges: the tests of the draw plan applied to many candidate
// attempts at once, one per vector lane, and the compaction of survivors.
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

// All-ones in the lanes whose index is a set bit of `mask`.
// All-ones in the lanes whose index is a set bit of `mask`, which has
// `words` words in use.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Vec mask_has(const std::uint32_t* mask, int words, Vec index) {
  Vec word;
  if constexpr (std::is_same_v<Vec, Lanes16>) {
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

// A scattered block's first `depth` draws (at most DEPTH), for G vectors
// side by side. Each draw's compacted index must map to an index of the
// block's first pool that holds the block's value. With the earlier draws'
// indices d_0 < d_1 < ... of that pool, c_j = d_j - j counts the undrawn
// entries before d_j, and the entry of compacted index x is x + #{j : c_j <=
// x}; drawing it adds x to the c's and lowers by one each c above x. The c's
// need no order, so every comparison of a draw is independent of the
// others. Each draw's state comes straight from the block's first, so the
// draws do not wait for each other either. DEPTH and G are fixed so that the
// loops unroll and everything stays in registers.
template <typename Vec, std::uint32_t DEPTH, int G>
SHUFFLESORT_LANE_INLINE void block_passes(const ScatteredBlock& block, const Stage& stage,
                                          std::uint32_t anchor_index, const Vec* state, Vec* hit) {
  Vec undrawn_before[DEPTH][G] = {};  // the c's
#pragma GCC unroll 16
  for (std::uint32_t q = 0; q < DEPTH; ++q) {
    if (q == stage.depth) break;
    if (q == 0 && stage.anchor_drawn) {
      for (int g = 0; g < G; ++g) undrawn_before[0][g] += anchor_index;  // they start at 0
      continue;
    }
    Vec any = {};
    for (int g = 0; g < G; ++g) {
      const Vec draw_state = state[g] * block.multipliers[q] + block.increments[q];
      const Vec index = remainder(draw_result(draw_state), block.remainders[q]);
      Vec entry = index;
#pragma GCC unroll 16
      for (std::uint32_t j = 0; j < q; ++j) {
        entry -= (Vec)(undrawn_before[j][g] <= index);  // true is -1
        undrawn_before[j][g] += (Vec)(undrawn_before[j][g] > index);
      }
      undrawn_before[q][g] = index;
      hit[g] &= mask_has<Vec>(block.mask, block.mask_words, entry);
      any |= hit[g];
    }
    if (!any_lane(any)) break;
  }
}

// A tracked block's first `depth` draws, for one vector: each larger
// value's compacted index is followed (TRACKED of them at most; the missing
// ones stand beyond every index), and a draw fails when it takes one of
// them. Lanes die slowly here, so each vector stops on its own.
template <typename Vec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE Vec tracked_block_passes(const DrawPlan& plan, const ScatteredBlock& block,
                                                 std::uint32_t depth, Vec state, Vec hit) {
  Vec larger[TRACKED] = {};
  for (std::uint32_t k = 0; k < TRACKED; ++k) larger[k] += block.larger_indices[k];
  state = state * block.multipliers[0] + block.increments[0];
  for (std::uint32_t q = 0; q < depth && any_lane(hit); ++q) {
    if (q > 0) state = state * LCG_MULTIPLIER + LCG_INCREMENT;
    const Vec index = remainder(draw_result(state), plan.remainders[block.pool_size - q]);
    for (std::uint32_t k = 0; k < TRACKED; ++k) {
      hit &= (Vec)(larger[k] != index);
      larger[k] += (Vec)(larger[k] > index);  // true is -1
    }
  }
  return hit;
}

template <typename Vec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE void tracked_block_stage(const DrawPlan& plan, const ScatteredBlock& block,
                                                 std::uint32_t depth, const Group<Vec>& state,
                                                 Group<Vec>& hit) {
  for (int g = 0; g < GROUP; ++g) {
    hit.lanes[g] =
        tracked_block_passes<Vec, TRACKED>(plan, block, depth, state.lanes[g], hit.lanes[g]);
  }
}

// The block stage for a group: shallow stages judge the group's vectors side
// by side, deep ones (fewer candidates, more registers) one by one.
template <typename Vec, std::uint32_t DEPTH>
SHUFFLESORT_LANE_INLINE void block_stage(const ScatteredBlock& block, const Stage& stage,
                                         std::uint32_t anchor_index, const Group<Vec>& state,
                                         Group<Vec>& hit) {
  if constexpr (DEPTH <= 4) {
    block_passes<Vec, DEPTH, GROUP>(block, stage, anchor_index, state.lanes, hit.lanes);
  } else {
    for (int g = 0; g < GROUP; ++g) {
      if (any_lane(hit.lanes[g])) {
        block_passes<Vec, DEPTH, 1>(block, stage, anchor_index, &state.lanes[g], &hit.lanes[g]);
      }
    }
  }
}

// All-ones in the lanes that pass the stage; `hit` says which lanes are
// candidates at all.
template <typename Vec>
SHUFFLESORT_LANE_INLINE Group<Vec> stage_passes(const DrawPlan& plan, const Stage& stage,
                                                std::uint32_t anchor_index, const Group<Vec>& state,
                                                Group<Vec> hit) {
  for (int t = stage.first_test; t < stage.end_test; ++t) {
    for (int g = 0; g < GROUP; ++g) hit.lanes[g] &= test_passes<Vec>(plan.tests[t], state.lanes[g]);
    if (!any_lane_of(hit)) return hit;
  }
  if (stage.block < 0) return hit;
  const ScatteredBlock& block = plan.blocks[stage.block];
  if (block.tracked) {
    if (block.larger <= 1) {
      tracked_block_stage<Vec, 1>(plan, block, stage.depth, state, hit);
    } else if (block.larger <= 2) {
      tracked_block_stage<Vec, 2>(plan, block, stage.depth, state, hit);
    } else if (block.larger <= 4) {
      tracked_block_stage<Vec, 4>(plan, block, stage.depth, state, hit);
    } else {
      tracked_block_stage<Vec, MAX_TRACKED>(plan, block, stage.depth, state, hit);
    }
  } else if (stage.depth <= 2) {
    block_stage<Vec, 2>(block, stage, anchor_index, state, hit);
  } else if (stage.depth <= 4) {
    block_stage<Vec, 4>(block, stage, anchor_index, state, hit);
  } else if (stage.depth <= 8) {
    block_stage<Vec, 8>(block, stage, anchor_index, state, hit);
  } else {
    block_stage<Vec, LANE_DEPTH>(block, stage, anchor_index, state, hit);
  }
  return hit;
}

#if defined(__x86_64__) || defined(__i386__)
// The same as the template below for 16 lanes, by AVX-512 compress; it takes
// references, so no vector crosses its call.
void append_hits(const Lanes16& hit, const Lanes16& state, const Lanes16& tag, Candidates out,
                 std::uint32_t& found);
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

// Judges the `count` candidates of `list` on the stages [first, end) in
// turn, keeping the survivors of each in place; returns how many survive.
// `anchor_index` is the anchor's index in the class search's runs.
// `list` needs room for a group past its last entry.
template <typename Vec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stages(const DrawPlan& plan, int first, int end,
                                                   std::uint32_t anchor_index, Candidates list,
                                                   std::uint32_t count) {
  constexpr std::uint32_t STRIDE = GROUP * LANES<Vec>;
  for (int s = first; s < end && count > 0; ++s) {
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += STRIDE) {
      Group<Vec> state;
      Group<Vec> tag;
      std::memcpy(&state, list.states + start, sizeof state);
      std::memcpy(&tag, list.tags + start, sizeof tag);
      const Group<Vec> hit = stage_passes<Vec>(plan, plan.stages[s], anchor_index, state,
                                               group_below<Vec>(start, count));
      collect(hit, state, tag, list, kept);
    }
    count = kept;
  }
  return count;
}

}  // namespace shufflesort
