// The judge of a scattered block in class lanes (class_lanes.h), for
// blocks with more larger values than a tracked one follows, such as the
// smaller of two values that fill a file half and half.
//
// As in the 32-bit judge (stage_lanes.h), each draw's compacted index x
// maps to the entry x + #{j : c_j <= x} of the block's first pool, where
// the c's stand for the earlier draws; the entry must hold the block's
// value. Here the c's are bytes that the lanes carry from chunk to chunk,
// so no draw is judged twice, and the entry is looked up in the first
// pool's bits by two byte shuffles.
#pragma once

#include <cstdint>
#include <cstring>

#include "search/class_chunks.h"
#include "search/class_lanes.h"
#include "search/draw_plan.h"

namespace shufflesort {

// Draws judged between two compactions: until about this share of the
// candidates is left, and at least two, as compacting costs about a draw.
constexpr double SCATTERED_CHUNK_SURVIVAL = 0.3;
constexpr std::uint32_t SCATTERED_CHUNK_LEAST = 2;

// The chunk for a block whose first draw passes with chance `copies /
// pool_size`, about the chance of each of its early draws.
inline std::uint32_t scattered_chunk(const ScatteredBlock& block) {
  const double chance = double(block.copies) / double(block.pool_size);
  std::uint32_t chunk = SCATTERED_CHUNK_LEAST;
  for (double left = chance * chance; left > SCATTERED_CHUNK_SURVIVAL && chunk < block.copies;
       left *= chance) {
    ++chunk;
  }
  return chunk;
}

// Each lane's byte of `table`, whose 16 bytes repeat through the vector,
// at the lane's index, below 16. It gives a reference: no wide vector
// crosses the call of the x86 overloads.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE void table_byte(const Bytes& table, const Bytes& index, Bytes& byte) {
#ifdef __clang__
  for (std::uint32_t lane = 0; lane < sizeof(Bytes); ++lane) byte[lane] = table[index[lane]];
#else
  byte = __builtin_shuffle(table, index);
#endif
}

#if defined(__x86_64__) || defined(__i386__)
// The same by the byte shuffle of AVX2 and AVX-512, which looks up within
// each 16 bytes.
__attribute__((target("avx2"))) inline void table_byte(const Bytes32& table, const Bytes32& index,
                                                       Bytes32& byte) {
  byte = (Bytes32)_mm256_shuffle_epi8((__m256i)table, (__m256i)index);
}
__attribute__((target("avx512bw"))) inline void table_byte(const Bytes64& table,
                                                           const Bytes64& index, Bytes64& byte) {
  byte = (Bytes64)_mm512_shuffle_epi8((__m512i)table, (__m512i)index);
}
#endif

template <typename KVec>
struct ScatteredJudge {
  using Bytes = BytesOf<KVec>;
  using Lanes = ClassLanes<KVec, CLASS_BYTE_LISTS>;

  const BlockClass& run;
  Bytes value_bits;  // bit e of the first pool's entries holding the value, 16 bytes repeated
  Bytes bit_of;      // 1 << (lane % 8)

  SHUFFLESORT_LANE_INLINE void start(Lanes& /*lanes*/) const {}  // draw q sets c_q

  static constexpr std::uint32_t carried(std::uint32_t end) { return end; }  // c_0 .. c_(end-1)

  SHUFFLESORT_LANE_INLINE Bytes holds_value(const Bytes& entry) const {
    Bytes byte;
    Bytes bit;
    table_byte(value_bits, (Bytes)(entry >> 3), byte);
    table_byte(bit_of, (Bytes)(entry & 7), bit);
    return (Bytes)((byte & bit) != 0);
  }

  // Draws [first, end). The entry is x + q - #{j : c_j > x}, and each c
  // above x moves down: one comparison serves both.
  SHUFFLESORT_LANE_INLINE void draws(Lanes& lanes, std::uint32_t first, std::uint32_t end) const {
    using Signed = SignedBytesOf<KVec>;
    for (std::uint32_t q = first; q < end; ++q) {
      const Bytes index = draw_indices(run.draws[q], lanes);
      Bytes entry = index + static_cast<std::uint8_t>(q);
      for (std::uint32_t j = 0; j < q; ++j) {
        const Bytes above = (Bytes)((Signed)lanes.bytes[j] > (Signed)index);  // -1 where above
        entry += above;
        lanes.bytes[j] += above;
      }
      lanes.bytes[q] = index;
      lanes.alive &= holds_value(entry);
    }
  }
};

// The class's candidates on the whole scattered block, which many of them
// pass far when its value is most of its pool; returns how many survive,
// their k first in `lists.k`.
template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t scattered_block_of_class(const ScatteredBlock& block,
                                                               const BlockClass& run,
                                                               const ClassLists& lists) {
  using Bytes = BytesOf<KVec>;
  static_assert(MASK_WORDS * 4 <= 16, "the first pool's bits fit 16 bytes");
  std::uint8_t value_bits[sizeof(Bytes)] = {};
  std::uint8_t bit_of[sizeof(Bytes)] = {};
  for (std::uint32_t lane = 0; lane < sizeof(Bytes); ++lane) {
    const std::uint32_t byte = lane % 16;
    value_bits[lane] = static_cast<std::uint8_t>(
        byte / 4 < MASK_WORDS ? block.mask[byte / 4] >> (8 * (byte % 4)) : 0);
    bit_of[lane] = static_cast<std::uint8_t>(1u << (lane % 8));
  }
  ScatteredJudge<KVec> judge{run, {}, {}};
  std::memcpy(&judge.value_bits, value_bits, sizeof value_bits);
  std::memcpy(&judge.bit_of, bit_of, sizeof bit_of);
  return judge_class_in_chunks<KVec, CLASS_BYTE_LISTS>(run, block.copies, scattered_chunk(block),
                                                       judge, lists);
}

}  // namespace shufflesort
