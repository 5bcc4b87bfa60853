// The lane operations that the judges build on, held to their plain
// meaning lane by lane: the compaction patterns.
#include "search/lanes.h"

#include <gtest/gtest.h>

#include <cstdint>

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

}  // namespace
