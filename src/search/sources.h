// Where a class's candidates come from, a group at a time: the lists that
// the last stage wrote, a range of the class's attempts, or the entries of
// a pair table, those that pass its two draws alive.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "search/class_lanes.h"
#include "search/classes.h"
#include "search/pair_table.h"

namespace shufflesort {

// A class's candidates waiting in the lists, with the first `carried` of
// their bytes, a group at a time.
struct ListGroups {
  ClassLists lists;  // a copy of the pointers, which the stores cannot change
  std::uint32_t count;
  std::uint32_t carried;

  std::uint32_t size() const { return count; }

  template <typename KVec, std::uint32_t N>
  SHUFFLESORT_LANE_INLINE bool load(std::uint32_t start, ClassLanes<KVec, N>& lanes) const {
    load_group(lists, start, count, carried, lanes);
    return true;
  }
};

// The candidates u_first + m * u_step (mod 2^15), m < count: a range of a
// class's attempts.
struct RangeGroups {
  std::uint32_t u_first;
  std::uint32_t u_step;
  std::uint32_t count;

  std::uint32_t size() const { return count; }

  template <typename KVec, std::uint32_t N>
  SHUFFLESORT_LANE_INLINE bool load(std::uint32_t start, ClassLanes<KVec, N>& lanes) const {
    constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
    const KVec steps = lane_numbers<KVec>() * broadcast<KVec>(u_step);
    const KVec mask = broadcast<KVec>(LCG_OUTPUT_MASK);
    lanes.u[0] = (steps + broadcast<KVec>(u_first + start * u_step)) & mask;
    lanes.u[1] = (steps + broadcast<KVec>(u_first + (start + LANES) * u_step)) & mask;
    lanes.alive = lanes_below<KVec>(count - start);
    return true;
  }
};

// For each byte, its eight bits as eight bytes of all-ones or zero.
struct BitExpansions {
  std::uint64_t of[256] = {};
};

constexpr BitExpansions make_bit_expansions() {
  BitExpansions expansions;
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    for (std::uint32_t bit = 0; bit < 8; ++bit) {
      if ((byte >> bit & 1) != 0) expansions.of[byte] |= std::uint64_t{0xFF} << (8 * bit);
    }
  }
  return expansions;
}

inline constexpr BitExpansions BIT_EXPANSIONS = make_bit_expansions();

// Bit j of `bits` as lane j of `flags`, all-ones or zero.
template <typename Bytes>
SHUFFLESORT_LANE_INLINE void bits_to_bytes(std::uint64_t bits, Bytes& flags) {
  std::uint64_t words[sizeof(Bytes) / 8] = {};
  for (std::uint32_t w = 0; w < sizeof(Bytes) / 8; ++w) {
    words[w] = BIT_EXPANSIONS.of[(bits >> (8 * w)) & 0xFF];
  }
  std::memcpy(&flags, words, sizeof flags);
}

#ifdef SHUFFLESORT_X86
__attribute__((target("avx2"))) inline void bits_to_bytes(std::uint64_t bits, Bytes32& flags) {
  const __m256i spread_bytes = _mm256_shuffle_epi8(
      _mm256_set1_epi32(static_cast<int>(bits)),
      _mm256_setr_epi64x(0, 0x0101010101010101, 0x0202020202020202, 0x0303030303030303));
  const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201));
  flags = (Bytes32)_mm256_cmpeq_epi8(_mm256_and_si256(spread_bytes, bit), bit);
}
__attribute__((target("avx512bw"))) inline void bits_to_bytes(std::uint64_t bits, Bytes64& flags) {
  flags = (Bytes64)_mm512_movm_epi8(bits);
}
#endif

// The candidates of a class that pass a pair table's two draws, from the
// table's entries a group at a time: their u, and when the table judges a
// block's first two draws, the block's c_0 and c_1 (judges.h). Those
// numbered below `from.k_from` are left out: the ranges judged them.
struct PairGroups {
  // The table's lists and the class's rows, taken out once: every byte
  // the judges store might be any of them, as far as the compiler knows.
  const std::uint64_t* low_row;
  const std::uint64_t* high_row;
  const std::uint16_t* u;
  const std::uint8_t* lead_index;
  const std::uint8_t* second_part;
  std::uint32_t entries;
  std::uint32_t split;
  std::uint32_t low_rho;
  std::uint32_t high_rho;
  std::uint32_t divisor;
  bool carries_block;
  CandidatesFrom from;
  PassingRuns runs;  // for two fixed tests

  PairGroups(const PairTable& table, const PairSplit& class_split, const CandidatesFrom& from)
      : low_row(table.row(class_split.low_row)),
        high_row(table.row(class_split.high_row)),
        u(table.u.data()),
        lead_index(table.lead_index.data()),
        second_part(table.second_part.data()),
        entries(table.entries),
        split(class_split.split),
        low_rho(class_split.low_row),
        high_rho(class_split.high_row),
        divisor(table.second_divisor),
        carries_block(table.carries_block),
        from(from),
        runs(passing_runs(table, class_split)) {}

  std::uint32_t size() const { return entries; }

  // All-ones in the lanes whose candidate is numbered k_from or later:
  // ones in the 16-bit lanes, which the packing to bytes keeps, then
  // widened.
  template <typename KVec, std::uint32_t N>
  SHUFFLESORT_LANE_INLINE BytesOf<KVec> numbered_from(const ClassLanes<KVec, N>& lanes) const {
    using Bytes = BytesOf<KVec>;
    const KVec mask = broadcast<KVec>(LCG_OUTPUT_MASK);
    const KVec one = broadcast<KVec>(1);
    KVec later[2];
    for (std::uint32_t half = 0; half < 2; ++half) {
      const KVec k =
          (lanes.u[half] * broadcast<KVec>(from.multiplier) + broadcast<KVec>(from.increment)) &
          mask;
      later[half] = (KVec)(k >= broadcast<KVec>(from.k_from)) & one;
    }
    Bytes bytes;
    low_bytes(later[0], later[1], bytes);
    return (Bytes)(bytes != 0);
  }

  // Of the 64 entries from `word_start`, a multiple of 64: those below the
  // split, which take the low row, and those that pass both draws.
  std::uint64_t below_split(std::uint32_t word_start) const {
    const std::uint32_t below = split > word_start ? split - word_start : 0;
    return below >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << below) - 1;
  }
  std::uint64_t passing(std::uint32_t word_start) const {
    const std::uint64_t below = below_split(word_start);
    const std::uint32_t word = word_start / 64;
    return (low_row[word] & below) | (high_row[word] & ~below);
  }

  template <typename KVec, std::uint32_t N>
  SHUFFLESORT_LANE_INLINE bool load(std::uint32_t start, ClassLanes<KVec, N>& lanes) const {
    using Bytes = BytesOf<KVec>;
    using Signed = SignedBytesOf<KVec>;
    constexpr std::uint32_t SIZE = GROUP<KVec>;
    const std::uint32_t first = start % 64;
    const std::uint64_t below_bits = below_split(start - first);
    const std::uint64_t bits = passing(start - first);
    const std::uint64_t group_bits =
        SIZE == 64 ? bits : (bits >> first) & ((std::uint64_t{1} << (SIZE % 64)) - 1);
    if (group_bits == 0) return false;
    std::memcpy(&lanes.u, u + start, sizeof lanes.u);
    bits_to_bytes(group_bits, lanes.alive);
    if (from.k_from > 0) lanes.alive &= numbered_from(lanes);
    if constexpr (N >= 2) {
      if (carries_block) {
        Bytes lead;
        Bytes part;
        std::memcpy(&lead, lead_index + start, sizeof lead);
        std::memcpy(&part, second_part + start, sizeof part);
        Bytes low;
        bits_to_bytes(below_bits >> first, low);
        const Bytes rho =
            (broadcast_byte<Bytes>(low_rho) & low) | (broadcast_byte<Bytes>(high_rho) & ~low);
        const Bytes by = broadcast_byte<Bytes>(divisor);
        Bytes second = part + rho;
        second -= (Bytes)(second >= by) & by;
        lanes.bytes[0] = lead + (Bytes)((Signed)lead > (Signed)second);  // -1 where above
        lanes.bytes[1] = second;
      }
    }
    return true;
  }
};

// A stage that only compacts, for a table's survivors that carry no bytes
// and of which none is left out: their u copied whole from the class's two
// runs of the table's lists, with no lanes to fill. Returns how many, in
// the lists that now hold them.
inline std::uint32_t copy_passing(const PassingRuns& runs, ListPair& lists) {
  std::uint16_t* const out = lists.next().u;
  std::copy_n(runs.low, runs.low_count, out);
  std::copy_n(runs.high, runs.high_count, out + runs.low_count);
  lists.flip();
  return runs.low_count + runs.high_count;
}

}  // namespace shufflesort
