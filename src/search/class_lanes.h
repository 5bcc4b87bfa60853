// A class's candidates in lanes: the lists they wait in, a group of them
// in vectors, their draws' compacted indices, the sets of indices they
// look those up in, and the compaction that keeps only the ones still
// alive.
//
// A group is two vectors of 16-bit u and byte vectors of as many lanes:
// whether each is alive, and the bytes a judge carries for it from draw to
// draw (compacted indices and positions, all below 128).
#pragma once

#include <cstdint>
#include <cstring>

#include "search/classes.h"
#include "search/draw_plan.h"
#include "search/lanes.h"

namespace shufflesort {

// The most bytes a candidate carries: a tracked block's positions, or one
// for each draw of a scattered block that the lanes judge.
constexpr std::uint32_t MAX_CARRIED = MAX_DEPTH;
static_assert(MAX_TRACKED <= MAX_CARRIED, "a tracked block's positions fit the lists");

// A class's candidates, as lists side by side: each one's u and its
// carried bytes. Each list holds a class and the widest group past it.
constexpr std::uint32_t LIST_SIZE = CLASS_SIZE + 128;

struct ClassLists {
  std::uint16_t* u;
  std::uint8_t* bytes[MAX_CARRIED];
};

// Two sets of lists: the judges read a class's candidates from one and
// write the survivors to the other, so that no load waits for a store to
// the same place.
struct ListPair {
  ClassLists sets[2];
  std::uint32_t current = 0;  // the set that holds the candidates

  const ClassLists& now() const { return sets[current]; }
  const ClassLists& next() const { return sets[current ^ 1]; }
  void flip() { current ^= 1; }
};

template <typename KVec, std::uint32_t N>
struct ClassLanes {
  KVec u[2];
  BytesOf<KVec> alive;
  BytesOf<KVec> bytes[N];
};

// Candidates in a group.
template <typename KVec>
constexpr std::uint32_t GROUP = 2 * SHORT_LANES<KVec>;

// All-ones in the lanes whose number is below `end`, as bytes.
template <typename KVec>
SHUFFLESORT_LANE_INLINE BytesOf<KVec> lanes_below(std::uint32_t end) {
  using Bytes = BytesOf<KVec>;
  Bytes lane;
  std::memcpy(&lane, LANE_NUMBERS, sizeof lane);
  const std::uint32_t limit = end < GROUP<KVec> ? end : GROUP<KVec>;
  return (Bytes)(lane < broadcast_byte<Bytes>(limit));
}

// Loads the group at `start` of a list of `count`, with `carried` bytes.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE void load_group(const ClassLists& lists, std::uint32_t start,
                                        std::uint32_t count, std::uint32_t carried,
                                        ClassLanes<KVec, N>& lanes) {
  std::memcpy(&lanes.u, lists.u + start, sizeof lanes.u);
  for (std::uint32_t j = 0; j < carried && j < N; ++j) {
    std::memcpy(&lanes.bytes[j], lists.bytes[j] + start, sizeof lanes.bytes[j]);
  }
  lanes.alive = lanes_below<KVec>(count - start);
}

// Draw i's compacted index for each lane's u: the result's remainder by
// the pool size (see Divisor), the quotient's high half first.
template <typename KVec>
SHUFFLESORT_LANE_INLINE KVec draw_index(const ClassDraws& draws, std::uint32_t i, const KVec& u) {
  const KVec result = (u * spread<KVec>(draws.multipliers[i]) + spread<KVec>(draws.offsets[i])) &
                      static_cast<std::uint16_t>(LCG_OUTPUT_MASK);
  KVec quotient;
  high_product(result, spread<KVec>(draws.magics[i]), quotient);
  quotient >>= draws.shifts[i];  // one shift for every lane: AVX2 has no other
  return result - quotient * spread<KVec>(draws.divisors[i]);
}

// The same for a group, in bytes.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE BytesOf<KVec> draw_indices(const ClassDraws& draws, std::uint32_t i,
                                                   const ClassLanes<KVec, N>& lanes) {
  BytesOf<KVec> index;
  low_bytes(draw_index(draws, i, lanes.u[0]), draw_index(draws, i, lanes.u[1]), index);
  return index;
}

// Each lane's bit of a byte, 1 << (lane % 8), for vectors of up to 64 bytes.
constexpr std::uint8_t BIT_OF_LANE[64] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
                                          1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
                                          1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128,
                                          1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};

// A set of compacted indices (the first pool's entries that hold a block's
// value, or the indices a test allows) as the lanes look it up: as 128
// bits (16 bytes, repeated through the vector) and each lane's bit of a
// byte.
template <typename Bytes>
struct ValueTable {
  Bytes bits;
  Bytes bit_of;

  explicit ValueTable(const IndexSet& set) {
    for (std::size_t at = 0; at < sizeof(Bytes); at += sizeof set.bits) {
      std::memcpy(reinterpret_cast<char*>(&bits) + at, set.bits, sizeof set.bits);
    }
    std::memcpy(&bit_of, BIT_OF_LANE, sizeof bit_of);
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

  explicit ValueTable(const IndexSet& set) {
    std::memcpy(&low, set.flags, sizeof low);
    std::memcpy(&high, set.flags + sizeof low, sizeof high);
  }

  SHUFFLESORT_LANE_INLINE Bytes64 holds(const Bytes64& entry) const {
    Bytes64 has;
    has_flag(low, high, entry, has);
    return has;
  }
};
#endif

// For each 8-bit mask, the positions of its set bits in increasing order:
// as bytes of a 64-bit word, and doubled into the byte pairs of 16-bit
// lanes. A byte shuffle by them packs the chosen lanes at the front.
struct CompactionPatterns {
  std::uint64_t bytes[256] = {};
  std::uint8_t words[256][16] = {};
  std::uint8_t counts[256] = {};  // the set bits: a call to the C library without POPCNT
};

constexpr CompactionPatterns make_compaction_patterns() {
  CompactionPatterns patterns;
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::uint32_t taken = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if ((mask >> lane & 1) == 0) continue;
      patterns.bytes[mask] |= std::uint64_t{lane} << (8 * taken);
      std::uint8_t* pair = &patterns.words[mask][2 * static_cast<std::size_t>(taken)];
      pair[0] = static_cast<std::uint8_t>(2 * lane);
      pair[1] = static_cast<std::uint8_t>(2 * lane + 1);
      ++taken;
    }
    patterns.counts[mask] = static_cast<std::uint8_t>(taken);
  }
  return patterns;
}

inline constexpr CompactionPatterns COMPACTION_PATTERNS = make_compaction_patterns();

// Appends the alive ones (set in `mask`) of sixteen candidates to the lists
// at `found`, with the first `carried` of their bytes: the u of the first
// eight in `u_first`, of the others in `u_second`, and their j-th bytes in
// byte_half(j). Byte shuffles by the patterns pack each eight; the bytes go
// sixteen to a shuffle, the two eights packed in its halves. Each store is
// whole: the lists have room past their ends.
template <std::uint32_t N, typename ByteHalf>
SHUFFLESORT_LANE_INLINE void append_sixteen(std::uint32_t mask, const Bytes16& u_first,
                                            const Bytes16& u_second, const ByteHalf& byte_half,
                                            std::uint32_t carried, const ClassLists& out,
                                            std::uint32_t& found) {
  const std::uint32_t low = mask & 0xFF;
  const std::uint32_t high = mask >> 8;
  const std::uint32_t at_low = found;
  const std::uint32_t at_high = found + COMPACTION_PATTERNS.counts[low];
  found = at_high + COMPACTION_PATTERNS.counts[high];
  Bytes16 pattern;
  std::memcpy(&pattern, COMPACTION_PATTERNS.words[low], sizeof pattern);
  const Bytes16 packed_first = byte_shuffle(u_first, pattern);
  std::memcpy(out.u + at_low, &packed_first, sizeof packed_first);
  std::memcpy(&pattern, COMPACTION_PATTERNS.words[high], sizeof pattern);
  const Bytes16 packed_second = byte_shuffle(u_second, pattern);
  std::memcpy(out.u + at_high, &packed_second, sizeof packed_second);
  if (carried == 0) return;
  const std::uint64_t halves[2] = {COMPACTION_PATTERNS.bytes[low],
                                   COMPACTION_PATTERNS.bytes[high] + 0x0808080808080808};
  std::memcpy(&pattern, halves, sizeof pattern);
  for (std::uint32_t j = 0; j < carried && j < N; ++j) {
    const Bytes16 packed = byte_shuffle(byte_half(j), pattern);
    std::memcpy(out.bytes[j] + at_low, &packed, 8);
    std::memcpy(out.bytes[j] + at_high, reinterpret_cast<const char*>(&packed) + 8, 8);
  }
}

// Each byte's top bit, as the bits of a number.
SHUFFLESORT_LANE_INLINE std::uint32_t byte_mask(const Bytes16& bytes) {
#ifdef SHUFFLESORT_X86
  return static_cast<std::uint32_t>(_mm_movemask_epi8((__m128i)bytes));
#else
  std::uint32_t mask = 0;
  for (std::uint32_t lane = 0; lane < 16; ++lane) mask |= (bytes[lane] >> 7 & 1u) << lane;
  return mask;
#endif
}

// Appends the alive candidates to the lists at `found`, with the first
// `carried` of their bytes, sixteen at a time.
template <std::uint32_t N>
SHUFFLESORT_LANE_INLINE void append_alive(const ClassLanes<Shorts8, N>& lanes,
                                          std::uint32_t carried, const ClassLists& out,
                                          std::uint32_t& found) {
  append_sixteen<N>(
      byte_mask(lanes.alive), (Bytes16)lanes.u[0], (Bytes16)lanes.u[1],
      [&](std::uint32_t j) { return lanes.bytes[j]; }, carried, out, found);
}

#ifdef SHUFFLESORT_X86
// The same for 64 candidates, by AVX-512 compress into a register, stored
// whole (the memory form of compress is slow on some CPUs).
template <std::uint32_t N>
__attribute__((target("avx512bw,avx512vbmi2"))) inline void append_alive(
    const ClassLanes<Shorts32, N>& lanes, std::uint32_t carried, const ClassLists& out,
    std::uint32_t& found) {
  const __mmask64 mask = _mm512_test_epi8_mask((__m512i)lanes.alive, (__m512i)lanes.alive);
  const auto low_mask = static_cast<__mmask32>(mask);
  const auto high_mask = static_cast<__mmask32>(mask >> 32);
  const auto low_count = static_cast<std::uint32_t>(__builtin_popcount(low_mask));
  _mm512_storeu_si512(out.u + found, _mm512_maskz_compress_epi16(low_mask, (__m512i)lanes.u[0]));
  _mm512_storeu_si512(out.u + found + low_count,
                      _mm512_maskz_compress_epi16(high_mask, (__m512i)lanes.u[1]));
  for (std::uint32_t j = 0; j < carried && j < N; ++j) {
    _mm512_storeu_si512(out.bytes[j] + found,
                        _mm512_maskz_compress_epi8(mask, (__m512i)lanes.bytes[j]));
  }
  found += static_cast<std::uint32_t>(__builtin_popcountll(mask));
}

// The same for 32 candidates with AVX2, which has no compress: sixteen at
// a time, as in the portable kernel.
template <std::uint32_t N>
__attribute__((target("avx2"))) inline void append_alive(const ClassLanes<Shorts16, N>& lanes,
                                                         std::uint32_t carried,
                                                         const ClassLists& out,
                                                         std::uint32_t& found) {
  const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)lanes.alive));
  for (std::uint32_t half = 0; half < 2; ++half) {
    Bytes16 u[2];
    std::memcpy(&u, &lanes.u[half], sizeof u);
    const auto byte_half = [&](std::uint32_t j) {
      Bytes16 bytes;
      std::memcpy(&bytes, reinterpret_cast<const char*>(&lanes.bytes[j]) + std::size_t{16} * half,
                  sizeof bytes);
      return bytes;
    };
    append_sixteen<N>((mask >> (16 * half)) & 0xFFFF, u[0], u[1], byte_half, carried, out, found);
  }
}
#endif

}  // namespace shufflesort
