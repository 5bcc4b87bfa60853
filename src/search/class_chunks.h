// A class's candidates judged a chunk of draws at a time (see
// class_lanes.h): the survivors of each chunk compacted with the bytes
// their lanes carry, branch-free in general and by compress (AVX-512) or
// byte shuffles (AVX2) where the vector unit has them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "search/class_lanes.h"
#include "search/lanes.h"

namespace shufflesort {

// Appends the alive candidates to `out` at `found`, with the first `used`
// of their bytes, without branching on each: every one is written, and only
// an alive one moves the end on.
template <typename KVec, std::uint32_t N>
SHUFFLESORT_LANE_INLINE void append_alive(const ClassLanes<KVec, N>& lanes, std::uint32_t used,
                                          const ClassLists& out, std::uint32_t& found) {
  constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
  for (std::uint32_t lane = 0; lane < 2 * LANES; ++lane) {
    out.k[found] = lanes.k[lane / LANES][lane % LANES];
    for (std::uint32_t j = 0; j < used; ++j) out.bytes[j][found] = lanes.bytes[j][lane];
    found += lanes.alive[lane] & 1;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// The same for 64 candidates, by AVX-512 compress.
template <std::uint32_t N>
__attribute__((target("avx512bw,avx512vbmi2"))) inline void append_alive(
    const ClassLanes<Shorts32, N>& lanes, std::uint32_t used, const ClassLists& out,
    std::uint32_t& found) {
  const __mmask64 mask = _mm512_test_epi8_mask((__m512i)lanes.alive, (__m512i)lanes.alive);
  const auto low_mask = static_cast<__mmask32>(mask);
  const auto high_mask = static_cast<__mmask32>(mask >> 32);
  const std::uint32_t low_count = static_cast<std::uint32_t>(__builtin_popcount(low_mask));
  _mm512_storeu_si512(out.k + found, _mm512_maskz_compress_epi16(low_mask, (__m512i)lanes.k[0]));
  _mm512_storeu_si512(out.k + found + low_count,
                      _mm512_maskz_compress_epi16(high_mask, (__m512i)lanes.k[1]));
  for (std::uint32_t j = 0; j < used; ++j) {
    _mm512_storeu_si512(out.bytes[j] + found,
                        _mm512_maskz_compress_epi8(mask, (__m512i)lanes.bytes[j]));
  }
  found += low_count + static_cast<std::uint32_t>(__builtin_popcount(high_mask));
}
// The same for 32 candidates with AVX2, which has no compress: eight at a
// time, each list's lanes packed by a byte shuffle from the patterns. The
// bytes go sixteen to a shuffle, two groups packed in its halves.
template <std::uint32_t N>
__attribute__((target("avx2"))) inline void append_alive(const ClassLanes<Shorts16, N>& lanes,
                                                         std::uint32_t used, const ClassLists& out,
                                                         std::uint32_t& found) {
  const auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8((__m256i)lanes.alive));
  const auto* k = reinterpret_cast<const __m128i*>(lanes.k);
  std::uint32_t at[4];  // where each group's survivors go
  __m128i byte_pattern[2];
  for (std::uint32_t group = 0; group < 4; ++group) {
    const std::uint32_t chosen = (mask >> (8 * group)) & 0xFF;
    at[group] = found;
    const __m128i word_pattern =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(COMPACTION_PATTERNS.words[chosen]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.k + found),
                     _mm_shuffle_epi8(_mm_loadu_si128(k + group), word_pattern));
    found += static_cast<std::uint32_t>(__builtin_popcount(chosen));
  }
  for (std::uint32_t half = 0; half < 2; ++half) {
    const auto pattern_of = [&](std::uint32_t group) {
      return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(
          &COMPACTION_PATTERNS.bytes[(mask >> (8 * group)) & 0xFF]));
    };
    const Bytes16 high = (Bytes16)pattern_of(2 * half + 1) + 8;  // the second group's bytes
    byte_pattern[half] = _mm_unpacklo_epi64(pattern_of(2 * half), (__m128i)high);
  }
  for (std::uint32_t j = 0; j < used; ++j) {
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

// The class's candidates [k_first, k_end) judged on the block's first
// `depth` draws, `chunk` draws at a time: the first chunk on candidates made
// from k, each later one on the survivors of the one before. The judge sets
// a fresh candidate's bytes (`start`), judges draws [first, end) (`draws`)
// and says how many bytes a candidate carries past draw `end` (`carried`).
// Returns how many survive, their k first in `lists.k`.
template <typename KVec, std::uint32_t N, typename Judge>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_class_in_chunks(const BlockClass& run,
                                                            std::uint32_t depth,
                                                            std::uint32_t chunk, const Judge& judge,
                                                            const ClassLists& lists) {
  constexpr std::uint32_t LANES = SHORT_LANES<KVec>;
  KVec lane;
  std::memcpy(&lane, LANE_NUMBERS, sizeof lane);
  // The survivors of the last chunk need only their k.
  const auto carried = [&](std::uint32_t end) { return end < depth ? judge.carried(end) : 0; };
  std::uint32_t end = std::min(depth, chunk);
  std::uint32_t count = 0;
  for (std::uint32_t start = run.k_first; start < run.k_end; start += 2 * LANES) {
    ClassLanes<KVec, N> lanes;
    lanes.k[0] = lane + static_cast<std::uint16_t>(start);
    lanes.k[1] = lane + static_cast<std::uint16_t>(start + LANES);
    lanes.alive = lanes_below(lane, start, run.k_end);
    judge.start(lanes);
    judge.draws(lanes, 0, end);
    if (any_short_lane(lanes.alive)) append_alive(lanes, carried(end), lists, count);
  }
  for (std::uint32_t first = end; first < depth && count > 0; first = end) {
    end = std::min(depth, first + chunk);
    const std::uint32_t loaded = carried(first);
    std::uint32_t kept = 0;
    for (std::uint32_t start = 0; start < count; start += 2 * LANES) {
      ClassLanes<KVec, N> lanes;
      std::memcpy(&lanes.k, lists.k + start, sizeof lanes.k);
      for (std::uint32_t j = 0; j < loaded; ++j) {
        std::memcpy(&lanes.bytes[j], lists.bytes[j] + start, sizeof lanes.bytes[j]);
      }
      lanes.alive = lanes_below(lane, start, count);
      judge.draws(lanes, first, end);
      if (any_short_lane(lanes.alive)) append_alive(lanes, carried(end), lists, kept);
    }
    count = kept;
  }
  return count;
}

}  // namespace shufflesort
