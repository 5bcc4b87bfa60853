// Stages judged in lanes: the judges of scattered blocks, a stage of tests
// or of a block applied to a group of vectors, and a list of candidates
// judged stage by stage with the survivors compacted in between.
#pragma once

#include <cstdint>
#include <cstring>

#include "search/draw_plan.h"
#include "search/lanes.h"
#include "shuffle.h"

namespace shufflesort {

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
  // The c's, each set at its draw before any later draw reads it: left
  // unset, as clearing the array costs more than a shallow stage's draws.
  Vec undrawn_before[DEPTH][G];
  const Vec anchor_known = Vec{} + anchor_index;
#pragma GCC unroll 16
  for (std::uint32_t q = 0; q < DEPTH; ++q) {
    if (q == stage.depth) break;
    const bool anchor = q == 0 && stage.anchor_drawn;  // known, and passes
    Vec any = {};
    for (int g = 0; g < G; ++g) {
      const Vec draw_state = state[g] * block.multipliers[q] + block.increments[q];
      const Vec index =
          anchor ? anchor_known : remainder(draw_result(draw_state), block.remainders[q]);
      Vec entry = index;
#pragma GCC unroll 16
      for (std::uint32_t j = 0; j < q; ++j) {
        entry -= (Vec)(undrawn_before[j][g] <= index);  // true is -1
        undrawn_before[j][g] += (Vec)(undrawn_before[j][g] > index);
      }
      undrawn_before[q][g] = index;
      if (!anchor) hit[g] &= mask_has<Vec>(block.mask, block.mask_words, entry);
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

// Clears in `hit` the lanes that fail the stage; `hit` comes with all-ones
// in the lanes that are candidates at all. It is changed in place: a group
// returned by value is copied through memory in halves, which the next
// whole-vector load then waits for.
template <typename Vec>
SHUFFLESORT_LANE_INLINE void stage_passes(const DrawPlan& plan, const Stage& stage,
                                          std::uint32_t anchor_index, const Group<Vec>& state,
                                          Group<Vec>& hit) {
  for (int t = stage.first_test; t < stage.end_test; ++t) {
    for (int g = 0; g < GROUP; ++g) hit.lanes[g] &= test_passes<Vec>(plan.tests[t], state.lanes[g]);
    if (!any_lane_of(hit)) return;
  }
  if (stage.block < 0) return;
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
}

// Judges the `count` candidates of `list` on the stages [first, end) in
// turn, keeping the survivors of each in place; returns how many survive.
// Only a first class stage knows its anchor's index, and none is here.
// `list` needs room for a group past its last entry.
template <typename Vec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stages(const DrawPlan& plan, int first, int end,
                                                   Candidates list, std::uint32_t count) {
  constexpr std::uint32_t STRIDE = GROUP * LANES<Vec>;
  for (int s = first; s < end && count > 0; ++s) {
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += STRIDE) {
      Group<Vec> state;
      Group<Vec> tag;
      std::memcpy(&state, list.states + start, sizeof state);
      std::memcpy(&tag, list.tags + start, sizeof tag);
      Group<Vec> hit = group_below<Vec>(start, count);
      stage_passes<Vec>(plan, plan.stages[s], 0, state, hit);
      collect(hit, state, tag, list, kept);
    }
    count = kept;
  }
  return count;
}

}  // namespace shufflesort
