// The lane operations that the judges build on, held to their plain
// meaning lane by lane: the compaction patterns, and the lowering of
// tracked positions, in the generic form and in the AVX-512 one where the
// CPU has it.
#include "search/lanes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "search/class_lanes.h"

namespace {

using shufflesort::COMPACTION_PATTERNS;

TEST(Lanes, CompactionPatternsPackEachMasksLanesInOrder) {
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::size_t taken = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if ((mask >> lane & 1) == 0) continue;
      EXPECT_EQ(COMPACTION_PATTERNS.bytes[mask] >> (8 * taken) & 0xFF, lane) << mask;
      EXPECT_EQ(COMPACTION_PATTERNS.words[mask][2 * taken], 2 * lane) << mask;
      EXPECT_EQ(COMPACTION_PATTERNS.words[mask][2 * taken + 1], 2 * lane + 1) << mask;
      ++taken;
    }
    EXPECT_EQ(COMPACTION_PATTERNS.counts[mask], taken) << mask;
  }
}

// Lane by lane: one less where `compared` is above `index`, as signed
// bytes (every byte the judges compare is below 128).
template <typename Bytes>
void expect_lowered_where_above(const Bytes& value, const Bytes& compared, const Bytes& index,
                                const Bytes& lowered) {
  for (std::size_t lane = 0; lane < sizeof(Bytes); ++lane) {
    const int above = compared[lane] > index[lane] ? 1 : 0;
    EXPECT_EQ(lowered[lane], static_cast<std::uint8_t>(value[lane] - above)) << lane;
  }
}

// Random bytes below 128, with many equal pairs: the edge the judges
// depend on, a position that the draw takes, must stay where it is.
// (Filled in place: a 64-byte vector returned by value would take
// AVX-512's calling convention, which this file is not built for.)
template <typename Bytes>
void fill_some_bytes(std::mt19937& random, std::uint32_t below, Bytes& bytes) {
  for (std::size_t lane = 0; lane < sizeof(Bytes); ++lane) {
    bytes[lane] = static_cast<std::uint8_t>(random() % below);
  }
}

// 2,000 random cases of one vector width: half with bytes below 8, so
// that many lanes compare equal, and a third lowering the compared bytes
// themselves, as the tracked judge does.
template <typename Bytes>
void check_lower_where_above(std::uint32_t seed) {
  std::mt19937 random(seed);
  for (int trial = 0; trial < 2000; ++trial) {
    const std::uint32_t below = trial % 2 == 0 ? 8 : 128;
    Bytes compared;
    Bytes index;
    Bytes value;
    fill_some_bytes(random, below, compared);
    fill_some_bytes(random, below, index);
    fill_some_bytes(random, 128, value);
    if (trial % 3 == 0) value = compared;
    Bytes lowered = value;
    shufflesort::lower_where_above(lowered, compared, index);
    expect_lowered_where_above(value, compared, index, lowered);
  }
}

TEST(Lanes, LowerWhereAboveMovesExactlyThePositionsAboveTheDraw) {
  check_lower_where_above<shufflesort::Bytes16>(5);
  check_lower_where_above<shufflesort::Bytes32>(6);
}

#ifdef SHUFFLESORT_X86
TEST(Lanes, LowerWhereAboveWithAvx512MasksToo) {
  if (!__builtin_cpu_supports("avx512bw")) GTEST_SKIP() << "this CPU has no AVX-512 BW";
  check_lower_where_above<shufflesort::Bytes64>(7);
}
#endif

}  // namespace
