// A class's candidates in lanes: the lists they wait in, a group of them
// in vectors, their draws' compacted indices, and the compaction that
// keeps only the ones still alive.
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
  for (std::uint32_t j = 0; j < carried; ++j) {
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

// Appends the alive candidates to the lists at `found`, with the first
// `carried` of their bytes, without branching on each: every one is
// written, and only an alive one moves the end on.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE void append_alive(const ClassLanes<KVec, N>& lanes, std::uint32_t carried,
                                          const ClassLists& out, std::uint32_t& found) {
  constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
  for (std::uint32_t lane = 0; lane < 2 * LANES; ++lane) {
    out.u[found] = lanes.u[lane / LANES][lane % LANES];
    for (std::uint32_t j = 0; j < carried; ++j) out.bytes[j][found] = lanes.bytes[j][lane];
    found += lanes.alive[lane] & 1;
  }
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
  for (std::uint32_t j = 0; j < carried; ++j) {
    _mm512_storeu_si512(out.bytes[j] + found,
                        _mm512_maskz_compress_epi8(mask, (__m512i)lanes.bytes[j]));
  }
  found += static_cast<std::uint32_t>(__builtin_popcountll(mask));
}

// For each 8-bit mask, the positions of its set bits in increasing order:
// as bytes of a 64-bit word, and doubled into the byte pairs of 16-bit
// lanes. A byte shuffle by them packs the chosen lanes at the front.
struct CompactionPatterns {
  std::uint64_t bytes[256] = {};
  std::uint8_t words[256][16] = {};
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
  }
  return patterns;
}

inline constexpr CompactionPatterns COMPACTION_PATTERNS = make_compaction_patterns();

// The same for 32 candidates with AVX2, which has no compress: eight at a
// time, each list's lanes packed by a byte shuffle from the patterns. The
// bytes go sixteen to a shuffle, two groups of eight packed in its halves.
template <std::uint32_t N>
__attribute__((target("avx2"))) inline void append_alive(const ClassLanes<Shorts16, N>& lanes,
                                                         std::uint32_t carried,
                                                         const ClassLists& out,
                                                         std::uint32_t& found) {
  const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)lanes.alive));
  const auto* u = reinterpret_cast<const __m128i*>(lanes.u);
  std::size_t at[4];  // where each group of eight goes
  for (std::uint32_t group = 0; group < 4; ++group) {
    const std::uint32_t chosen = (mask >> (8 * group)) & 0xFF;
    at[group] = found;
    const __m128i pattern =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(COMPACTION_PATTERNS.words[chosen]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.u + found),
                     _mm_shuffle_epi8(_mm_loadu_si128(u + group), pattern));
    found += static_cast<std::uint32_t>(__builtin_popcount(chosen));
  }
  if (carried == 0) return;
  __m128i byte_pattern[2];
  for (std::uint32_t half = 0; half < 2; ++half) {
    const auto pattern_of = [&](std::uint32_t group) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(
          &COMPACTION_PATTERNS.bytes[(mask >> (8 * group)) & 0xFF]));
    };
    const Bytes16 second = (Bytes16)pattern_of(2 * half + 1) + 8;  // the second group's bytes
    byte_pattern[half] = _mm_unpacklo_epi64(pattern_of(2 * half), (__m128i)second);
  }
  for (std::uint32_t j = 0; j < carried; ++j) {
    const auto* bytes = reinterpret_cast<const __m128i*>(&lanes.bytes[j]);
    for (std::size_t half = 0; half < 2; ++half) {
      const __m128i packed = _mm_shuffle_epi8(_mm_loadu_si128(bytes + half), byte_pattern[half]);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out.bytes[j] + at[2 * half]), packed);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out.bytes[j] + at[2 * half + 1]),
                       _mm_unpackhi_epi64(packed, packed));
    }
  }
}
#endif

}  // namespace shufflesort
