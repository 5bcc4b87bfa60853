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
#include "search/sources.h"

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

// Judges each group of `groups` on draws [first, end) of `judge` and
// writes the survivors to the next set of lists, with `kept_bytes` of
// their bytes, which then holds the candidates; returns how many.
template <typename KVec, std::uint32_t N, typename Judge, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_chunk(const Judge& judge, const Groups& groups,
                                                  std::uint32_t first, std::uint32_t end,
                                                  std::uint32_t kept_bytes, ListPair& lists) {
  std::uint32_t kept = 0;
  for (std::uint32_t start = 0; start < groups.size(); start += GROUP<KVec>) {
    ClassLanes<KVec, N> lanes;
    if (!groups.load(start, lanes)) continue;
    judge.apply(lanes, first, end);
    if (any_lane(lanes.alive)) append_alive(lanes, kept_bytes, lists.next(), kept);
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
  const auto kept_bytes = [&](std::uint32_t end) { return end < depth ? judge.carried(end) : 0; };
  std::uint32_t end = std::min(depth, from + chunk);
  std::uint32_t count = judge_chunk_fitting<KVec>(judge, groups, from, end, kept_bytes(end), lists);
  for (std::uint32_t first = end; first < depth && count > 0; first = end) {
    end = std::min(depth, first + chunk);
    const ListGroups waiting{lists.now(), count, judge.carried(first)};
    count = judge_chunk_fitting<KVec>(judge, waiting, first, end, kept_bytes(end), lists);
  }
  return count;
}

// A stage of window tests, all judged in one chunk.
template <typename KVec>
struct WindowJudge {
  static constexpr std::uint32_t MOST = 1;
  const DrawPlan& plan;
  const Stage& stage;
  const ClassDraws& draws;

  static constexpr std::uint32_t carried(std::uint32_t /*draw*/) { return 0; }

  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t /*first*/,
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

// A tracked block's draws are judged until about half the candidates are
// left (most draws pass, each a little less often), between 3 and 12 at a
// time: compacting costs about a draw.
constexpr double TRACKED_CHUNK_SURVIVAL = 0.5;

inline std::uint32_t tracked_chunk(const ScatteredBlock& block) {
  const double chance = double(block.copies) / double(block.pool_size);
  std::uint32_t chunk = 3;
  for (double left = chance * chance * chance; left > TRACKED_CHUNK_SURVIVAL && chunk < 12;
       left *= chance) {
    ++chunk;
  }
  return chunk;
}

template <typename KVec, std::uint32_t TRACKED>
struct TrackedJudge {
  static constexpr std::uint32_t MOST = TRACKED;
  using Bytes = BytesOf<KVec>;
  using Signed = SignedBytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;

  // The positions, once the block's first chunk has set them.
  static constexpr std::uint32_t carried(std::uint32_t draw) { return draw == 0 ? 0 : TRACKED; }

  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t first,
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
  static constexpr std::uint32_t MOST = MAX_DEPTH;
  using Bytes = BytesOf<KVec>;
  using Signed = SignedBytesOf<KVec>;
  const ScatteredBlock& block;
  const ClassDraws& draws;
  ValueTable<Bytes> values;

  static constexpr std::uint32_t carried(std::uint32_t draw) { return draw; }  // c_0 .. c_(draw-1)

  // Draw q, whose lanes carry q bytes.
  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void draw(ClassLanes<KVec, N>& lanes, std::uint32_t q) const {
    const Bytes index = draw_indices(draws, block.first_draw + q, lanes);
    Bytes entry = index + static_cast<std::uint8_t>(q);
#pragma GCC unroll 16
    for (std::uint32_t j = 0; j < q; ++j) {
      const auto above = (Signed)lanes.bytes[j] > (Signed)index;
      entry = above ? entry - 1 : entry;
      lanes.bytes[j] = above ? lanes.bytes[j] - 1 : lanes.bytes[j];
    }
    lanes.bytes[q] = index;
    lanes.alive &= values.holds(entry);
  }

  // Draws [first, end). Up to 16 bytes the loops unroll whole, so that
  // every byte is named and stays in a register.
  template <std::uint32_t N>
  SHUFFLESORT_LANE_INLINE void apply(ClassLanes<KVec, N>& lanes, std::uint32_t first,
                                     std::uint32_t end) const {
    if constexpr (N <= 16) {
#pragma GCC unroll 16
      for (std::uint32_t q = 0; q < N; ++q) {
        if (q < first) continue;
        if (q >= end || !any_lane(lanes.alive)) break;
        draw(lanes, q);
      }
    } else {
      for (std::uint32_t q = first; q < end && any_lane(lanes.alive); ++q) draw(lanes, q);
    }
  }
};

// A tracked block's judge for exactly as many larger values as it has:
// each costs every lane a few operations a draw.
template <typename KVec, typename Groups, std::uint32_t TRACKED = 1>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_tracked(const ScatteredBlock& block,
                                                    const ClassDraws& draws, const Groups& groups,
                                                    ListPair& lists) {
  if constexpr (TRACKED < MAX_TRACKED) {
    if (block.larger > TRACKED) {
      return judge_tracked<KVec, Groups, TRACKED + 1>(block, draws, groups, lists);
    }
  }
  const TrackedJudge<KVec, TRACKED> judge{block, draws};
  return judge_all<KVec>(judge, groups, lists, 0, block.copies, tracked_chunk(block));
}

// Judges the candidates of `groups` on `stage`; returns how many pass, in
// the lists that now hold the candidates.
template <typename KVec, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stage(const DrawPlan& plan, const Stage& stage,
                                                  const ClassDraws& draws, const Groups& groups,
                                                  ListPair& lists) {
  if (stage.block < 0) {
    const WindowJudge<KVec> judge{plan, stage, draws};
    return judge_all<KVec>(judge, groups, lists, 0, 1, 1);
  }
  const ScatteredBlock& block = plan.blocks[stage.block];
  if (block.tracked) return judge_tracked<KVec>(block, draws, groups, lists);
  const ValueTable<BytesOf<KVec>> values(block.values);
  const ScatteredJudge<KVec> judge{block, draws, values};
  return judge_all<KVec>(judge, groups, lists, stage.from, std::min(block.copies, MAX_DEPTH),
                         scattered_chunk(block));
}

// Judges the candidates of `groups` on `stages` in turn; returns how many
// pass them all, in the lists that now hold the candidates. With no stage,
// every one passes.
template <typename KVec, typename Groups>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_stages(const DrawPlan& plan, const StageList& stages,
                                                   const ClassDraws& draws, const Groups& groups,
                                                   ListPair& lists) {
  const Stage none{};
  std::uint32_t count =
      judge_stage<KVec>(plan, stages.count > 0 ? stages.stages[0] : none, draws, groups, lists);
  for (int s = 1; s < stages.count && count > 0; ++s) {
    count =
        judge_stage<KVec>(plan, stages.stages[s], draws, ListGroups{lists.now(), count, 0}, lists);
  }
  return count;
}

}  // namespace shufflesort
