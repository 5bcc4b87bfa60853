// The attempt search held to the literal replay of shuffles, through every
// kernel this CPU can run, plus the period facts the search relies on.
#include "search/search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "planted_values.h"
#include "random_values.h"
#include "search/context.h"
#include "shuffle.h"

using shufflesort::Kernel;
using shufflesort::Value;

namespace {

using SearchFunction = std::optional<std::uint64_t> (*)(std::uint32_t, const Value*, int,
                                                        std::uint64_t, Kernel);

// The three ways of searching, each held to the replay.
const std::vector<std::pair<const char*, SearchFunction>> SEARCHES = {
    {"combined", shufflesort::first_ordered_attempt},
    {"ranges", shufflesort::first_ordered_attempt_by_ranges},
    {"pairs", shufflesort::first_ordered_attempt_by_pairs},
};

std::optional<std::uint64_t> search(std::uint32_t seed, const std::vector<Value>& values,
                                    std::uint64_t limit, Kernel kernel,
                                    SearchFunction function = shufflesort::first_ordered_attempt) {
  return function(seed, values.data(), static_cast<int>(values.size()), limit, kernel);
}

std::optional<std::uint64_t> replay(std::uint32_t seed, const std::vector<Value>& values,
                                    std::uint64_t limit) {
  return shufflesort::first_ordered_attempt_by_replay(seed, values.data(),
                                                      static_cast<int>(values.size()), limit);
}

TEST(Kernels, TheProgramsKernelIsOneThisCpuHas) {
  const std::vector<Kernel> kernels = shufflesort::supported_kernels();
  EXPECT_EQ(kernels.front(), Kernel::portable);
  EXPECT_NE(std::find(kernels.begin(), kernels.end(), shufflesort::widest_kernel()), kernels.end());
}

TEST(AttemptPeriod, IsTwoToThe31OverTheCountsPowerOfTwo) {
  const std::vector<std::pair<int, std::uint64_t>> cases = {
      {1, 1u << 31},  {2, 1u << 30},  {3, 1u << 31},  {12, 1u << 29},
      {13, 1u << 31}, {64, 1u << 25}, {96, 1u << 26}, {100, 1u << 29},
  };
  for (const auto& [count, period] : cases) EXPECT_EQ(shufflesort::attempt_period(count), period);
}

TEST(AttemptPeriod, AttemptsRepeatAfterThePeriod) {
  std::mt19937 random(5);
  for (int trial = 0; trial < 40; ++trial) {
    const int count = 2 + static_cast<int>(random() % 99);
    const std::uint32_t seed = random();
    const std::uint64_t period = shufflesort::attempt_period(count);
    const std::uint32_t later =
        shufflesort::generator_steps(period * static_cast<unsigned>(count))(seed);
    EXPECT_EQ(later, seed ^ 0x80000000u) << "count " << count;  // only the unseen bit differs
    shufflesort::Generator first{seed};
    shufflesort::Generator again{later};
    for (int draw = 0; draw < count; ++draw) EXPECT_EQ(first.next(), again.next());
  }
}

TEST(AttemptSearch, MatchesReplayOnRandomSmallInputs) {
  std::mt19937 random(2024);
  constexpr std::uint64_t LIMIT = 3000;
  int found = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const std::size_t size = 2 + random() % 7;
    const unsigned spread = 1 + random() % 12;  // 1: all equal; small: repeats
    const std::vector<Value> values = random_values(random, size, spread, -5);
    const std::uint32_t seed = random();
    const std::optional<std::uint64_t> expected = replay(seed, values, LIMIT);
    found += expected ? 1 : 0;
    for (Kernel kernel : shufflesort::supported_kernels()) {
      for (const auto& [name, function] : SEARCHES) {
        // The pair table costs the same for any limit: judge fewer of them.
        if (function == shufflesort::first_ordered_attempt_by_pairs && trial % 16 != 0) continue;
        ASSERT_EQ(search(seed, values, LIMIT, kernel, function), expected)
            << name << " search, " << shufflesort::kernel_name(kernel) << " kernel, "
            << values.size() << " values, seed " << seed;
      }
    }
  }
  EXPECT_GT(found, 1300);
}

// Values that make attempt `attempt` come out in order: each draw's file
// position gets the rank of that draw, divided by `group` to make repeats.
std::vector<Value> planted_values(std::uint32_t seed, int count, std::uint64_t attempt, int group) {
  return planted_by_rank(seed, count, attempt, [&](int rank) { return rank / group - 40; });
}

TEST(AttemptSearch, FindsPlantedAttemptsForEveryCount) {
  std::mt19937 random(99);
  for (int count : {2, 3, 4, 5, 7, 13, 31, 32, 64, 99, 100}) {
    for (int group : {1, 2, 3}) {
      const std::uint32_t seed = random();
      const std::uint64_t planted = random() % 2000;
      const std::vector<Value> values = planted_values(seed, count, planted, group);
      const std::optional<std::uint64_t> expected = replay(seed, values, planted + 1);
      ASSERT_TRUE(expected.has_value());
      EXPECT_LE(*expected, planted);
      for (Kernel kernel : shufflesort::supported_kernels()) {
        for (const auto& [name, function] : SEARCHES) {
          EXPECT_EQ(search(seed, values, planted + 1000, kernel, function), expected)
              << name << " search, " << shufflesort::kernel_name(kernel) << " kernel, " << count
              << " values in groups of " << group;
        }
      }
    }
  }
}

// Around where the classes take over from the attempts checked one by one
// (thousands to hundreds of thousands of attempts in, by the count), with
// values so many that the planted attempt is the first in order: distinct
// ones, whose search ends in a pair table, and two values, seven copies of
// the larger, whose search is ranges only.
TEST(SlowSearch, FindsPlantedAttemptsWhereTheClassesTakeOver) {
  std::mt19937 random(7);
  for (int count : {13, 31, 64, 99}) {
    for (bool distinct : {true, false}) {
      if (!distinct && count < 64) continue;  // then the planted attempt is seldom the first
      for (std::uint64_t planted : {4500u, 45000u, 60000u, 140000u, 300000u}) {
        const std::uint32_t seed = random();
        const std::vector<Value> values = planted_by_rank(
            seed, count, planted, [&](int rank) { return distinct ? rank : rank / (count - 7); });
        const std::optional<std::uint64_t> expected = replay(seed, values, planted + 1);
        ASSERT_TRUE(expected.has_value());
        for (Kernel kernel : shufflesort::supported_kernels()) {
          EXPECT_EQ(search(seed, values, shufflesort::attempt_period(count), kernel), expected)
              << shufflesort::kernel_name(kernel) << " kernel, " << count << " values, "
              << (distinct ? "distinct" : "seven larger") << ", planted at " << planted;
        }
      }
    }
  }
}

TEST(SlowSearch, KnownLongSearches) {
  const std::vector<Value> twelve = {12, 2, 11, 5, 7, 1, 3, 9, 4, 10, 6, 8};
  const std::vector<Value> thirteen = {2, 11, 5, 4, 3, 7, 1, 9, 8, 10, 13, 12, 6};
  for (Kernel kernel : shufflesort::supported_kernels()) {
    for (SearchFunction function :
         {shufflesort::first_ordered_attempt, shufflesort::first_ordered_attempt_by_pairs}) {
      EXPECT_EQ(search(1700000000u, twelve, shufflesort::attempt_period(12), kernel, function),
                25435652u);
      EXPECT_EQ(search(1700000005u, thirteen, shufflesort::attempt_period(13), kernel, function),
                133218061u);
    }
  }
  // The ranges, on the widest kernel only: they judge every attempt.
  EXPECT_EQ(search(1700000000u, twelve, shufflesort::attempt_period(12),
                   shufflesort::widest_kernel(), shufflesort::first_ordered_attempt_by_ranges),
            25435652u);
}

TEST(SlowSearch, PairsAgreeWithTheRangesOverWholePeriods) {
  // Repeated values, found late or never: the class search anchors on a
  // later draw when the smallest value repeats.
  const std::vector<std::pair<std::vector<Value>, std::uint32_t>> cases = {
      {{13, 2, 11, 5, 7, 1, 12, 3, 9, 4, 10, 6, 1}, 1},
      {{13, 2, 11, 5, 7, 2, 12, 3, 9, 4, 10, 6, 8}, 1},
      {{0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7}, 3},
      {{4, 4, 3, 3, 2, 2, 1, 1, 0, 0, 4, 3, 2, 1, 0}, 8},
  };
  for (const auto& [values, seed] : cases) {
    const std::uint64_t period = shufflesort::attempt_period(static_cast<int>(values.size()));
    const Kernel widest = shufflesort::widest_kernel();
    EXPECT_EQ(search(seed, values, period, widest, shufflesort::first_ordered_attempt_by_pairs),
              search(seed, values, period, widest, shufflesort::first_ordered_attempt_by_ranges))
        << values.size() << " values, seed " << seed;
  }
}

// After the ranges the pair table leaves out the candidates they judged,
// numbered below k_from in their class: an answer numbered k_from is still
// found, one numbered below it is not. Distinct values, planted past the
// first candidate of every class; every kernel leaves out the same
// candidates (Judges.PairTableLeavesOutOnlyTheCandidatesBelowKFrom).
TEST(AttemptSearch, PairsLeaveOutExactlyTheCandidatesBelowKFrom) {
  std::mt19937 random(53);
  int answers = 0;
  for (int trial = 0; trial < 6; ++trial) {
    const int count = 11 + 2 * static_cast<int>(random() % 2);  // odd: 2^16 classes
    const std::uint32_t seed = random();
    const std::uint64_t period = shufflesort::attempt_period(count);
    const std::uint64_t planted = 65536 + random() % (period - 65536);
    const std::vector<Value> values = planted_values(seed, count, planted, 1);
    shufflesort::SearchContext context(seed, values.data(), count, shufflesort::widest_kernel());
    ASSERT_TRUE(context.plan->pair.used) << count << " distinct values";
    const std::optional<std::uint64_t> first = shufflesort::search_pairs(context, period, 0);
    ASSERT_TRUE(first.has_value());
    ASSERT_LE(*first, planted);
    const auto k = static_cast<std::uint32_t>(*first >> 16);
    EXPECT_EQ(shufflesort::search_pairs(context, period, k), first) << "seed " << seed;
    if (k == 0) continue;
    ++answers;
    const std::optional<std::uint64_t> later = shufflesort::search_pairs(context, period, k + 1);
    EXPECT_TRUE(!later || *later > *first) << "seed " << seed;
  }
  EXPECT_GE(answers, 5);
}

// The whole search where the pair table leaves out what the ranges judged
// (files mostly of one value, whose even counts make the period short): an
// answer planted at the first candidate the table keeps in its class, or
// at the last one it leaves out, is found as the ranges alone find it, on
// every kernel. Where the answer is planted moves the larger values, and
// with them the handover: it is planted again until the two agree, in
// another class when the larger values fall where nothing is left out.
TEST(SlowSearch, ThePairsAfterTheRangesLoseNoAnswer) {
  std::mt19937 random(61);
  for (int trial = 0; trial < 8; ++trial) {
    const int count = trial % 4 < 2 ? 64 : 96;
    const int larger = 6 + trial % 3;
    const std::uint32_t before = trial % 2;  // the first candidate kept, or the last left out
    const std::uint32_t seed = random();
    const std::uint64_t period = shufflesort::attempt_period(count);
    const std::uint64_t classes = period / shufflesort::CLASS_SIZE;
    std::uint64_t planted = 0;
    std::vector<Value> values;
    shufflesort::PairHandover handover;
    bool at_handover = false;
    for (int layout = 0; layout < 24 && !at_handover; ++layout) {
      const std::uint64_t class_index = random() % classes;
      // About where the ranges stop for these files, to begin with.
      for (std::uint32_t k = 3400, tries = 0; tries < 4 && !at_handover; ++tries) {
        planted = k * classes + class_index;
        values = planted_by_rank(seed, count, planted,
                                 [&](int rank) { return rank < count - larger ? 0 : 1; });
        const shufflesort::SearchContext context(seed, values.data(), count, Kernel::portable);
        handover = shufflesort::pair_handover(*context.plan, count);
        if (handover.k_left_out == 0) break;
        at_handover = k == handover.k_left_out - before;
        k = handover.k_left_out - before;
      }
    }
    ASSERT_TRUE(at_handover) << count << " values, " << larger << " larger, seed " << seed;
    const std::optional<std::uint64_t> expected =
        search(seed, values, period, shufflesort::widest_kernel(),
               shufflesort::first_ordered_attempt_by_ranges);
    ASSERT_TRUE(expected.has_value());
    EXPECT_LE(*expected, planted);
    for (Kernel kernel : shufflesort::supported_kernels()) {
      EXPECT_EQ(search(seed, values, period, kernel), expected)
          << shufflesort::kernel_name(kernel) << " kernel, " << count << " values, " << larger
          << " larger, seed " << seed << ", planted at " << planted << ", handover at "
          << handover.k_left_out;
    }
  }
}

TEST(AttemptSearch, NoAttemptInTheWholePeriod) {
  const std::vector<Value> never = {13, 2, 11, 5, 7, 1, 12, 3, 9, 4, 10, 6, 8};
  EXPECT_EQ(search(1, never, shufflesort::attempt_period(13), shufflesort::widest_kernel()),
            std::nullopt);
}

TEST(AttemptSearch, StopsAtTheLimit) {
  const std::vector<Value> values = planted_values(77, 6, 500, 1);
  const std::optional<std::uint64_t> first = replay(77, values, 501);
  ASSERT_TRUE(first.has_value());
  for (Kernel kernel : shufflesort::supported_kernels()) {
    EXPECT_EQ(search(77, values, *first, kernel), std::nullopt);
    EXPECT_EQ(search(77, values, *first + 1, kernel), first);
  }
}

}  // namespace
