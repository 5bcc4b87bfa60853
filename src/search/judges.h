// The judges: the stages of the plan applied to a class's candidates in
// lanes, a chunk of draws at a time (judge_chunks.h).
//   - Fixed tests need nothing from earlier draws.
//   - A tracked block's lanes follow each larger value's compacted index,
//     and a draw fails when it takes one; the larger values above it move
//     down.
//   - A scattered block's lanes carry, for each earlier draw j of the
//     block, c_j: how many undrawn entries of the first pool stand before
//     the one it took. The entry of compacted index x is then x plus the
//     number of c's not above x, which must hold the block's value; drawing
//     it makes x a c and lowers each c above x. No c waits for another.
#pragma once

#include <algorithm>
#include <cstdint>

#include "search/class_lanes.h"
#include "search/draw_plan.h"
#include "search/judge_chunks.h"
#include "search/sources.h"

namespace shufflesort {

// A stage of fixed tests, all judged in one chunk; the lanes keep the
// bytes they came with (Stage::keeps).
template <typename KVec>
struct TestJudge {
  static constexpr std::uint32_t MOST = 2;
  using Bytes = BytesOf<KVec>;
  const DrawPlan& plan;
  const Stage& stage;
  const ClassDraws& draws;

  std::uint32_t carried(std::uint32_t /*draw*/) const { return stage.keeps; }
  std::uint32_t after() const { return stage.keeps; }

  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t /*first*/,
                                     std::uint32_t /*end*/) const {
    for (int t = 0; t < stage.test_count && any_lane(lanes.alive); ++t) {
      const FixedTest& test = plan.tests[stage.tests[t]];
      const ValueTable<Bytes> allowed(test.allowed);
      lanes.alive &= allowed.holds(draw_indices(draws, test.draw, lanes));
    }
  }
};

template <typename KVec, std::uint32_t TRACKED>
struct TrackedJudge {
  // Lanes from a pair table come with the block's first two draws.
  static constexpr std::uint32_t MOST = TRACKED < 2 ? 2 : TRACKED;
  using Bytes = BytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;
  std::uint32_t from;  // 0, or 2 after a pair table

  // The positions, once the block's first chunk has set them.
  std::uint32_t carried(std::uint32_t draw) const { return draw == from ? from : TRACKED; }
  static constexpr std::uint32_t after() { return 0; }

  // The larger values' indices after the block's first two draws, from the
  // bytes a pair table hands on: c_0 and c_1, how many undrawn entries of
  // the first pool stand before the entries the draws took. A larger
  // value's entry L is one lower for each of those entries below it, that
  // is, for each c_j below L: the entry is c_j or c_j + 1 (when the other
  // drawn entry stands before it), and L, undrawn, is never that entry.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void positions_after_pair(ClassLanes<KVec, N>& lanes) const {
    const Bytes c0 = lanes.bytes[0];
    const Bytes c1 = lanes.bytes[1];
    for (std::uint32_t k = 0; k < TRACKED; ++k) {
      const Bytes larger = broadcast_byte<Bytes>(larger_index(k));
      Bytes position = larger;
      lower_where_above(position, larger, c0);
      lower_where_above(position, larger, c1);
      lanes.bytes[k] = position;
    }
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  // Indices that no draw reaches stand for missing values: a draw's index
  // is below its pool's size, and this stays above it.
  std::uint32_t larger_index(std::uint32_t k) const {
    return k < block.larger ? block.larger_indices[k] : 127;
  }

  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t first,
                                     std::uint32_t end) const {
    if (first == 0) {
      for (std::uint32_t k = 0; k < TRACKED; ++k) {
        lanes.bytes[k] = broadcast_byte<Bytes>(larger_index(k));
      }
    } else if (first == from) {
      positions_after_pair(lanes);
    }
    // Zero exactly where a larger value is taken, in any draw of the
    // chunk: the least of the differences' bits, which keeps the
    // comparisons off the critical path.
    Bytes taken = broadcast_byte<Bytes>(0xFF);
    for (std::uint32_t q = first; q < end; ++q) {
      const Bytes index = draw_indices(draws, block.first_draw + q, lanes);
      for (std::uint32_t k = 0; k < TRACKED; ++k) {
        const Bytes differs = lanes.bytes[k] ^ index;
        taken = differs < taken ? differs : taken;
        lower_where_above(lanes.bytes[k], lanes.bytes[k], index);
      }
    }
    lanes.alive = taken != 0 ? lanes.alive : 0;
  }
};

template <typename KVec>
struct ScatteredJudge {
  static constexpr std::uint32_t MOST = MAX_DEPTH;
  using Bytes = BytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;
  ValueTable<Bytes> values;

  static constexpr std::uint32_t carried(std::uint32_t draw) { return draw; }  // c_0 .. c_(draw-1)
  static constexpr std::uint32_t after() { return 0; }

  // Draw q, whose lanes carry q bytes (`earlier`, one for each earlier draw) and are `alive`.
  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void draw(const ClassLanes<KVec, N>& lanes, std::uint32_t q,
                                    Bytes* earlier, Bytes& alive) const {
    const Bytes index = draw_indices(draws, block.first_draw + q, lanes);
    Bytes entry = index + static_cast<std::uint8_t>(q);
#pragma GCC unroll 16
    for (std::uint32_t j = 0; j < q; ++j) {
      lower_where_above(entry, earlier[j], index);
      lower_where_above(earlier[j], earlier[j], index);
    }
    earlier[q] = index;
    alive &= values.holds(entry);
  }

  // Draws [first, end) of lanes that carry up to M bytes, in local copies
  // of the bytes and flags: the loops unroll whole, so that every byte is
  // named and stays in a register. Returns the draws judged. (GCC cannot
  // see that the bytes below `first` are the ones the lanes were loaded
  // with: candidates from a range carry none, and start at draw 0.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
  template <std::uint32_t M, std::uint32_t N>
  SHUFFLESORT_LANE_INLINE std::uint32_t draw_in_registers(ClassLanes<KVec, N>& lanes,
                                                          std::uint32_t first,
                                                          std::uint32_t end) const {
    Bytes earlier[M] = {};
    Bytes alive = lanes.alive;
#pragma GCC unroll 16
    for (std::uint32_t j = 0; j < M; ++j) {
      if (j >= first) break;
      earlier[j] = lanes.bytes[j];
    }
    std::uint32_t judged = first;
#pragma GCC unroll 16
    for (std::uint32_t q = 0; q < M; ++q) {
      if (q < first) continue;
      if (q >= end || !any_lane(alive)) break;
      draw(lanes, q, earlier, alive);
      judged = q + 1;
    }
#pragma GCC unroll 16
    for (std::uint32_t j = 0; j < M; ++j) {
      if (j >= judged) break;
      lanes.bytes[j] = earlier[j];
    }
    lanes.alive = alive;
    return judged;
  }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

  // Draws [first, end): those up to the 16th in registers, the later ones
  // with the bytes in memory.
  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t first,
                                     std::uint32_t end) const {
    constexpr std::uint32_t IN_REGISTERS = N < 16 ? N : 16;
    std::uint32_t q = first;
    if (q < IN_REGISTERS) {
      q = draw_in_registers<IN_REGISTERS>(lanes, q, std::min(end, IN_REGISTERS));
    }
    for (; q < end && any_lane(lanes.alive); ++q) draw(lanes, q, lanes.bytes, lanes.alive);
  }
};

// A tracked block's judge for exactly as many larger values as it has:
// each costs every lane a few operations a draw. From draw `from`: 0, or
// 2 when a pair table judged the first two.
template <typename KVec, typename Groups, std::uint32_t TRACKED = 1>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_tracked(const ScatteredBlock& block,
                                                    const ClassDraws& draws, const Groups& groups,
                                                    ListPair& lists, std::uint32_t from) {
  if constexpr (TRACKED < MAX_TRACKED) {
    if (block.larger > TRACKED) {
      return judge_tracked<KVec, Groups, TRACKED + 1>(block, draws, groups, lists, from);
    }
  }
  const TrackedJudge<KVec, TRACKED> judge{block, draws, from};
  return judge_all<KVec>(judge, groups, lists, from, block.copies, block.chunk);
}

// Judges the candidates of `groups` on `stage`; returns how many pass, in
// the lists that now hold the candidates.
template <typename KVec, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stage(const DrawPlan& plan, const Stage& stage,
                                                  const ClassDraws& draws, const Groups& groups,
                                                  ListPair& lists) {
  if (stage.block < 0) {
    const TestJudge<KVec> judge{plan, stage, draws};
    return judge_all<KVec>(judge, groups, lists, 0, 1, 1);
  }
  const ScatteredBlock& block = plan.blocks[stage.block];
  if (block.tracked) return judge_tracked<KVec>(block, draws, groups, lists, stage.from);
  const ValueTable<BytesOf<KVec>> values(block.values);
  const ScatteredJudge<KVec> judge{block, draws, values};
  return judge_all<KVec>(judge, groups, lists, stage.from, std::min(block.copies, MAX_DEPTH),
                         block.chunk);
}

// Judges the candidates of `groups` on `stages` from stage `first` on, in
// turn; returns how many pass them all, in the lists that now hold the
// candidates. With no stage, every one passes.
template <typename KVec, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stages(const DrawPlan& plan, const StageList& stages,
                                                   int first, const ClassDraws& draws,
                                                   const Groups& groups, ListPair& lists) {
  const Stage none{};
  std::uint32_t count = judge_stage<KVec>(plan, stages.count > first ? stages.stages[first] : none,
                                          draws, groups, lists);
  for (int s = first + 1; s < stages.count && count > 0; ++s) {
    const ListGroups waiting{lists.now(), count, stages.stages[s - 1].keeps};
    count = judge_stage<KVec>(plan, stages.stages[s], draws, waiting, lists);
  }
  return count;
}

// Judges the survivors of a pair table (`groups`) on `stages`, whose first
// is fixed tests or only compacts, as the plan puts them: so only the test
// judge takes the table's entries, and the others take the lists. A
// compaction of survivors that carry no bytes, none left out, copies their
// u from the table's lists, without filling lanes.
template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_pair_stages(const DrawPlan& plan,
                                                        const StageList& stages,
                                                        const ClassDraws& draws,
                                                        const PairGroups& groups, ListPair& lists) {
  const Stage none{};
  const Stage& tests = stages.count > 0 ? stages.stages[0] : none;
  const bool plain =
      tests.only_compacts() && tests.keeps == 0 && !groups.carries_block && groups.from.k_from == 0;
  const std::uint32_t count =
      plain ? copy_passing(groups.runs, lists)
            : judge_all<KVec>(TestJudge<KVec>{plan, tests, draws}, groups, lists, 0, 1, 1);
  if (stages.count <= 1 || count == 0) return count;
  return judge_stages<KVec>(plan, stages, 1, draws, ListGroups{lists.now(), count, tests.keeps},
                            lists);
}

}  // namespace shufflesort
