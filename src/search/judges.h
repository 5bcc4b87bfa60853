// The judges: the stages of the plan applied to a class's candidates in
// lanes, each keeping the survivors in place.
//
// A judge goes through its draws a chunk at a time: after each chunk the
// survivors are compacted with the bytes their lanes carry, and the next
// chunk carries on from there, never judging a draw twice and keeping the
// lanes full.
//   - Window tests need nothing from earlier draws.
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
#include <cstring>

#include "search/class_lanes.h"
#include "search/draw_plan.h"

namespace shufflesort {

// The first pool's entries that hold a block's value, to be looked up by
// the lanes: as 128 bits (16 bytes, repeated through the vector) and each
// lane's bit of a byte.
template <typename Bytes>
struct ValueTable {
  Bytes bits;
  Bytes bit_of;

  explicit ValueTable(const IndexSet& values) {
    std::uint8_t bytes[sizeof(Bytes)] = {};
    for (std::uint32_t lane = 0; lane < sizeof(Bytes); ++lane) {
      bytes[lane] = static_cast<std::uint8_t>(values.words[lane % 16 / 8] >> (8 * (lane % 8)));
    }
    std::memcpy(&bits, bytes, sizeof bits);
    for (std::uint32_t lane = 0; lane < sizeof(Bytes); ++lane) {
      bytes[lane] = static_cast<std::uint8_t>(1u << (lane % 8));
    }
    std::memcpy(&bit_of, bytes, sizeof bit_of);
  }

  SHUFFLESORT_LANE_INLINE Bytes holds(const Bytes& entry) const {
    Bytes has;
    has_bit(bits, bit_of, entry, has);
    return has;
  }
};

#ifdef SHUFFLESORT_X86
// With AVX-512 VBMI: a flag byte for each of the 128 entries, looked up at
// once.
template <>
struct ValueTable<Bytes64> {
  Bytes64 low;  // entries 0 to 63
  Bytes64 high;

  explicit ValueTable(const IndexSet& values) {
    std::uint8_t bytes[128] = {};
    for (std::uint32_t entry = 0; entry < 128; ++entry) bytes[entry] = values.has(entry) ? 0xFF : 0;
    std::memcpy(&low, bytes, sizeof low);
    std::memcpy(&high, bytes + sizeof low, sizeof high);
  }

  SHUFFLESORT_LANE_INLINE Bytes64 holds(const Bytes64& entry) const {
    Bytes64 has;
    has_flag(low, high, entry, has);
    return has;
  }
};
#endif

// Judges the `count` candidates of `lists` on draws [from, depth) of
// `judge`, `chunk` draws at a time; returns how many survive, first in the
// lists. The survivors of the last chunk keep no bytes.
template <typename KVec, std::uint32_t N, typename Judge>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_list(const Judge& judge, const ClassLists& lists,
                                                 std::uint32_t count, std::uint32_t from,
                                                 std::uint32_t depth, std::uint32_t chunk) {
  for (std::uint32_t first = from; first < depth && count > 0;) {
    const std::uint32_t end = std::min(depth, first + chunk);
    const std::uint32_t loaded = judge.carried(first);
    const std::uint32_t kept_bytes = end < depth ? judge.carried(end) : 0;
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += GROUP<KVec>) {
      ClassLanes<KVec, N> lanes;
      load_group(lists, start, count, loaded, lanes);
      judge.apply(lanes, first, end);
      if (any_lane(lanes.alive)) append_alive(lanes, kept_bytes, lists, kept);
    }
    count = kept;
    first = end;
  }
  return count;
}

// A stage of window tests, all judged in one chunk.
template <typename KVec>
struct WindowJudge {
  const DrawPlan& plan;
  const Stage& stage;
  const ClassDraws& draws;

  static constexpr std::uint32_t carried(std::uint32_t /*draw*/) { return 0; }

  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, 1>& lanes, std::uint32_t /*first*/,
                                     std::uint32_t /*end*/) const {
    using Bytes = BytesOf<KVec>;
    for (int t = 0; t < stage.test_count && any_lane(lanes.alive); ++t) {
      const FixedTest& test = plan.tests[stage.tests[t]];
      const Bytes index = draw_indices(draws, test.draw, lanes);
      lanes.alive &= (Bytes)((Bytes)(index - broadcast_byte<Bytes>(test.low)) <
                             broadcast_byte<Bytes>(test.width));
    }
  }
};

// Draws judged between two compactions of a tracked block's survivors.
constexpr std::uint32_t TRACKED_CHUNK = 6;

template <typename KVec, std::uint32_t TRACKED>
struct TrackedJudge {
  using Bytes = BytesOf<KVec>;
  using Signed = SignedBytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;

  // The positions, once the block's first chunk has set them.
  static constexpr std::uint32_t carried(std::uint32_t draw) { return draw == 0 ? 0 : TRACKED; }

  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, TRACKED>& lanes, std::uint32_t first,
                                     std::uint32_t end) const {
    if (first == 0) {
      // Indices that no draw reaches stand for missing values: a draw's
      // index is below its pool's size, and this stays above it.
      for (std::uint32_t k = 0; k < TRACKED; ++k) {
        lanes.bytes[k] = broadcast_byte<Bytes>(k < block.larger ? block.larger_indices[k] : 127);
      }
    }
    for (std::uint32_t q = first; q < end; ++q) {
      const Bytes index = draw_indices(draws, block.first_draw + q, lanes);
      // Zero exactly where a larger value is taken: the least of the
      // differences' bits, which keeps the comparisons off the critical path.
      Bytes taken = broadcast_byte<Bytes>(0xFF);
      for (std::uint32_t k = 0; k < TRACKED; ++k) {
        const Bytes differs = lanes.bytes[k] ^ index;
        taken = differs < taken ? differs : taken;
        lanes.bytes[k] =
            (Signed)lanes.bytes[k] > (Signed)index ? lanes.bytes[k] - 1 : lanes.bytes[k];
      }
      lanes.alive = taken != 0 ? lanes.alive : 0;
    }
  }
};

// A scattered block's draws are judged until about this share of the
// candidates is left, and at least two at a time, as compacting costs about
// a draw.
constexpr double SCATTERED_CHUNK_SURVIVAL = 0.3;
constexpr std::uint32_t SCATTERED_CHUNK_LEAST = 2;

inline std::uint32_t scattered_chunk(const ScatteredBlock& block) {
  const double chance = double(block.copies) / double(block.pool_size);
  std::uint32_t chunk = SCATTERED_CHUNK_LEAST;
  for (double left = chance * chance; left > SCATTERED_CHUNK_SURVIVAL && chunk < MAX_DEPTH;
       left *= chance) {
    ++chunk;
  }
  return chunk;
}

template <typename KVec>
struct ScatteredJudge {
  using Bytes = BytesOf<KVec>;
  using Signed = SignedBytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;
  ValueTable<Bytes> values;

  static constexpr std::uint32_t carried(std::uint32_t draw) { return draw; }  // c_0 .. c_(draw-1)

  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, MAX_DEPTH>& lanes, std::uint32_t first,
                                     std::uint32_t end) const {
    for (std::uint32_t q = first; q < end && any_lane(lanes.alive); ++q) {
      const Bytes index = draw_indices(draws, block.first_draw + q, lanes);
      Bytes entry = index + static_cast<std::uint8_t>(q);
      for (std::uint32_t j = 0; j < q; ++j) {
        const auto above = (Signed)lanes.bytes[j] > (Signed)index;
        entry = above ? entry - 1 : entry;
        lanes.bytes[j] = above ? lanes.bytes[j] - 1 : lanes.bytes[j];
      }
      lanes.bytes[q] = index;
      lanes.alive &= values.holds(entry);
    }
  }
};

template <typename KVec, std::uint32_t TRACKED>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_tracked(const ScatteredBlock& block,
                                                    const ClassDraws& draws,
                                                    const ClassLists& lists, std::uint32_t count) {
  const TrackedJudge<KVec, TRACKED> judge{block, draws};
  return judge_list<KVec, TRACKED>(judge, lists, count, 0, block.copies, TRACKED_CHUNK);
}

// A tracked block's judge for exactly as many larger values as it has:
// each costs every lane a few operations a draw.
template <typename KVec, std::uint32_t TRACKED = 1>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_tracked_block(const ScatteredBlock& block,
                                                          const ClassDraws& draws,
                                                          const ClassLists& lists,
                                                          std::uint32_t count) {
  if constexpr (TRACKED < MAX_TRACKED) {
    if (block.larger > TRACKED) {
      return judge_tracked_block<KVec, TRACKED + 1>(block, draws, lists, count);
    }
  }
  return judge_tracked<KVec, TRACKED>(block, draws, lists, count);
}

// Judges `count` candidates on stages [first, stages.count) in turn;
// returns how many pass them all, first in the lists.
template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stages(const DrawPlan& plan, const StageList& stages,
                                                   const ClassDraws& draws, const ClassLists& lists,
                                                   std::uint32_t count) {
  for (int s = 0; s < stages.count && count > 0; ++s) {
    const Stage& stage = stages.stages[s];
    if (stage.block < 0) {
      const WindowJudge<KVec> judge{plan, stage, draws};
      count = judge_list<KVec, 1>(judge, lists, count, 0, 1, 1);
      continue;
    }
    const ScatteredBlock& block = plan.blocks[stage.block];
    if (!block.tracked) {
      const ScatteredJudge<KVec> judge{block, draws, ValueTable<BytesOf<KVec>>(block.values)};
      const std::uint32_t depth = std::min(block.copies, MAX_DEPTH);
      count = judge_list<KVec, MAX_DEPTH>(judge, lists, count, stage.from, depth,
                                          scattered_chunk(block));
      continue;
    }
    count = judge_tracked_block<KVec>(block, draws, lists, count);
  }
  return count;
}

}  // namespace shufflesort
