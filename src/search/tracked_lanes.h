// The judge of a tracked block in class lanes (class_lanes.h).
//
// A tracked block (at most MAX_TRACKED larger values in its first pool)
// fails only when a draw takes a larger value, which most candidates do
// within a few draws, each after its own number. So each lane follows the
// larger values' compacted indices in bytes, which is most of the work, and
// carries them from chunk to chunk.
#pragma once

#include <cstdint>
#include <cstring>

#include "search/class_chunks.h"
#include "search/class_lanes.h"
#include "search/draw_plan.h"

namespace shufflesort {

// Draws judged between two compactions of the survivors.
constexpr std::uint32_t TRACKED_CHUNK = 6;

template <typename KVec, std::uint32_t TRACKED>
struct TrackedJudge {
  using Bytes = BytesOf<KVec>;
  using Lanes = ClassLanes<KVec, TRACKED>;

  const BlockClass& run;
  Bytes larger[TRACKED];  // the larger values' indices in the block's first pool

  SHUFFLESORT_LANE_INLINE void start(Lanes& lanes) const {
    std::memcpy(&lanes.bytes, &larger, sizeof larger);
  }

  static constexpr std::uint32_t carried(std::uint32_t /*end*/) { return TRACKED; }

  // Draws [first, end): a draw fails when it takes a larger value; the
  // larger values above it move down.
  SHUFFLESORT_LANE_INLINE void draws(Lanes& lanes, std::uint32_t first, std::uint32_t end) const {
    using Signed = SignedBytesOf<KVec>;
    for (std::uint32_t q = first; q < end; ++q) {
      const Bytes index = draw_indices(run.draws[q], lanes);
      // Zero exactly where a larger value is taken: the least of the
      // differences' bits, which keeps the comparisons off the critical path.
      Bytes taken = lanes.bytes[0] ^ index;
      for (std::uint32_t j = 0; j < TRACKED; ++j) {
        const Bytes differs = lanes.bytes[j] ^ index;
        taken = differs < taken ? differs : taken;
        lanes.bytes[j] += (Bytes)((Signed)lanes.bytes[j] > (Signed)index);  // -1 where above
      }
      lanes.alive &= (Bytes)(taken != 0);
    }
  }
};

// The class's candidates on the whole tracked block; returns how many
// survive, their k first in `lists.k`.
template <typename KVec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE std::uint32_t tracked_block_of_class(const ScatteredBlock& block,
                                                             const BlockClass& run,
                                                             const ClassLists& lists) {
  TrackedJudge<KVec, TRACKED> judge{run, {}};
  for (std::uint32_t j = 0; j < TRACKED; ++j) {
    const BytesOf<KVec> index =
        BytesOf<KVec>{} + static_cast<std::uint8_t>(block.larger_indices[j]);
    judge.larger[j] = index;
  }
  return judge_class_in_chunks<KVec, TRACKED>(run, block.copies, TRACKED_CHUNK, judge, lists);
}

}  // namespace shufflesort
