// Where a class's candidates come from, a group at a time: the lists that
// the last stage wrote, a range of the class's attempts, or the entries of
// a pair table, those that pass its two draws alive.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

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

  PairGroups(const PairTable& table, const PairSplit& split, const CandidatesFrom& from)
      : low_row(table.row(split.low_row)),
        high_row(table.row(split.high_row)),
        u(table.u.data()),
        lead_index(table.lead_index.data()),
        second_part(table.second_part.data()),
        entries(table.entries),
        split(split.split),
        low_rho(split.low_row),
        high_rho(split.high_row),
        divisor(table.second_divisor),
        carries_block(table.carries_block),
        from(from) {}

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

#ifdef SHUFFLESORT_X86
// Appends the u of the 64 entries at `u` whose bits are set to the lists at
// `found` by AVX-512 compress, 32 at a time.
__attribute__((target("avx512bw,avx512vbmi2"))) inline void compress_passing(std::uint64_t bits,
                                                                             const std::uint16_t* u,
                                                                             const ClassLists& out,
                                                                             std::uint32_t& found) {
  const auto low_mask = static_cast<__mmask32>(bits);
  const auto high_mask = static_cast<__mmask32>(bits >> 32);
  const auto low_count = static_cast<std::uint32_t>(__builtin_popcount(low_mask));
  _mm512_storeu_si512(out.u + found, _mm512_maskz_compress_epi16(low_mask, _mm512_loadu_si512(u)));
  _mm512_storeu_si512(out.u + found + low_count,
                      _mm512_maskz_compress_epi16(high_mask, _mm512_loadu_si512(u + 32)));
  found += static_cast<std::uint32_t>(__builtin_popcountll(bits));
}
#endif

// The same for any kernel: AVX-512's compress, or byte shuffles sixteen at
// a time (a table's lists are padded to whole words).
template <typename KVec>
SHUFFLESORT_LANE_INLINE void append_passing(std::uint64_t bits, const std::uint16_t* u,
                                            const ClassLists& out, std::uint32_t& found) {
#ifdef SHUFFLESORT_X86
  if constexpr (std::is_same_v<KVec, Shorts32>) {
    compress_passing(bits, u, out, found);
    return;
  }
#endif
  for (std::uint32_t at = 0; at < 64; at += 16) {
    const auto mask = static_cast<std::uint32_t>(bits >> at) & 0xFFFF;
    if (mask == 0) continue;
    Bytes16 halves[2];
    std::memcpy(&halves, u + at, sizeof halves);
    append_sixteen<0>(
        mask, halves[0], halves[1], [](std::uint32_t) { return Bytes16{}; }, 0, out, found);
  }
}

// A stage that only compacts, for a table's survivors that carry no bytes
// and of which none is left out: their u packed straight from the class's
// two rows, with no lanes to fill. Returns how many, in the lists that now
// hold them.
template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t compact_passing(const PairGroups& groups, ListPair& lists) {
  const ClassLists out = lists.next();
  std::uint32_t found = 0;
  for (std::uint32_t start = 0; start < groups.entries; start += 64) {
    const std::uint64_t bits = groups.passing(start);
    if (bits != 0) append_passing<KVec>(bits, groups.u + start, out, found);
  }
  lists.flip();
  return found;
}

}  // namespace shufflesort
