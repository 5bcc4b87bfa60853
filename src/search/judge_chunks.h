// Judging a class's candidates a chunk of draws at a time, for any judge:
// after each chunk the survivors are compacted with the bytes their lanes
// carry, and the next chunk carries on from there, never judging a draw
// twice and keeping the lanes full.
#pragma once

#include <algorithm>
#include <cstdint>

#include "search/class_lanes.h"
#include "search/draw_plan.h"
#include "search/sources.h"

namespace shufflesort {

// Judges each group of `groups` on draws [first, end) of `judge` and
// writes the survivors to the next set of lists, with `kept_bytes` of
// their bytes, which then holds the candidates; returns how many.
template <typename KVec, std::uint32_t N, typename Judge, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_chunk(const Judge& judge, const Groups& groups,
                                                  std::uint32_t first, std::uint32_t end,
                                                  std::uint32_t kept_bytes, ListPair& lists) {
  // A copy of the lists' pointers, which the stores cannot change.
  const ClassLists out = lists.next();
  std::uint32_t kept = 0;
  for (std::uint32_t start = 0; start < groups.size(); start += GROUP<KVec>) {
    ClassLanes<KVec, N> lanes;
    // Test stages keep the bytes their candidates came with: none, from a
    // range, which the compiler cannot tell. Two zeroed bytes cost little.
    if constexpr (N <= 2) lanes = ClassLanes<KVec, N>{};
    if (!groups.load(start, lanes)) continue;
    judge.apply(lanes, first, end);
    if (any_lane(lanes.alive)) append_alive(lanes, kept_bytes, out, kept);
  }
  lists.flip();
  return kept;
}

// The same for a chunk of draws, in lanes that hold just the bytes the
// chunk needs, so that the early chunks keep them in registers: a judge
// says the most bytes it ever needs (MOST), and a scattered one, which
// may need MAX_DEPTH, needs a byte for each draw up to the chunk's end.
template <typename KVec, typename Judge, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_chunk_fitting(const Judge& judge, const Groups& groups,
                                                          std::uint32_t first, std::uint32_t end,
                                                          std::uint32_t kept_bytes,
                                                          ListPair& lists) {
  if constexpr (Judge::MOST == MAX_DEPTH) {
    if (end <= 4) return judge_chunk<KVec, 4>(judge, groups, first, end, kept_bytes, lists);
    if (end <= 8) return judge_chunk<KVec, 8>(judge, groups, first, end, kept_bytes, lists);
    if (end <= 16) return judge_chunk<KVec, 16>(judge, groups, first, end, kept_bytes, lists);
    if (end <= 32) return judge_chunk<KVec, 32>(judge, groups, first, end, kept_bytes, lists);
  }
  return judge_chunk<KVec, Judge::MOST>(judge, groups, first, end, kept_bytes, lists);
}

// Judges the candidates of `groups` on draws [from, depth) of `judge`,
// `chunk` draws at a time, the survivors of each chunk compacted with the
// bytes the next chunk needs; returns how many survive the last, in the
// lists that now hold the candidates, with no bytes.
template <typename KVec, typename Judge, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_all(const Judge& judge, const Groups& groups,
                                                ListPair& lists, std::uint32_t from,
                                                std::uint32_t depth, std::uint32_t chunk) {
  const auto kept_bytes = [&](std::uint32_t end) {
    return end < depth ? judge.carried(end) : judge.after();
  };
  std::uint32_t end = std::min(depth, from + chunk);
  std::uint32_t count = judge_chunk_fitting<KVec>(judge, groups, from, end, kept_bytes(end), lists);
  for (std::uint32_t first = end; first < depth && count > 0; first = end) {
    end = std::min(depth, first + chunk);
    const ListGroups waiting{lists.now(), count, judge.carried(first)};
    count = judge_chunk_fitting<KVec>(judge, waiting, first, end, kept_bytes(end), lists);
  }
  return count;
}

}  // namespace shufflesort
