// The tracked judge held to the literal draws: for files almost all of one
// value, every kernel's survivors of a residue class must be exactly the
// candidates whose draws never take a larger value, and the search must find
// planted late answers that only its class ranges reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "search/context.h"
#include "search/search.h"
#include "shuffle.h"

using shufflesort::Kernel;
using shufflesort::Value;

namespace {

// `count` values: `larger` ones scattered at random among zeros, all
// below one value `larger_value`.
std::vector<Value> almost_all_zeros(std::mt19937& random, int count, int larger,
                                    Value larger_value) {
  std::vector<Value> values(static_cast<std::size_t>(count), 0);
  std::fill(values.begin(), values.begin() + larger, larger_value);
  std::shuffle(values.begin(), values.end(), random);
  return values;
}

// Whether the draws from `state` (after an attempt's first draw) take only
// zeros for as many draws as there are zeros: pool compaction done
// literally, as the shuffle does it.
bool zeros_come_first(std::uint32_t state, const std::vector<Value>& values) {
  std::vector<Value> pool = values;
  const auto zeros = std::count(values.begin(), values.end(), 0);
  shufflesort::Generator generator{shufflesort::inverse(shufflesort::generator_steps(1))(state)};
  for (int draw = 0; draw < zeros; ++draw) {
    const auto idx = static_cast<std::size_t>(generator.next() % static_cast<int>(pool.size()));
    if (pool[idx] != 0) return false;
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return true;
}

TEST(TrackedJudge, KeepsExactlyTheCandidatesThatDrawOnlyZerosFirst) {
  std::mt19937 random(41);
  std::vector<std::uint16_t> k_list(shufflesort::TRACKED_LIST_SIZE);
  std::vector<std::uint8_t> larger_lists(shufflesort::MAX_TRACKED *
                                         std::size_t{shufflesort::TRACKED_LIST_SIZE});
  shufflesort::TrackedLists lists{k_list.data(), {}};
  for (std::uint32_t j = 0; j < shufflesort::MAX_TRACKED; ++j) {
    lists.larger[j] = larger_lists.data() + j * std::size_t{shufflesort::TRACKED_LIST_SIZE};
  }
  int survivors = 0;
  int judged = 0;
  for (int trial = 0; trial < 48; ++trial) {
    const int larger = 1 + trial % 8;
    const int count = larger + 2 + static_cast<int>(random() % (99 - larger));
    const std::vector<Value> values = almost_all_zeros(random, count, larger, 1);
    std::vector<Value> ascending = values;
    std::sort(ascending.begin(), ascending.end());
    auto plan = std::make_unique<shufflesort::DrawPlan>();
    shufflesort::make_draw_plan(values.data(), ascending.data(), count, *plan);
    // Zeros standing together get window tests instead.
    if (!shufflesort::has_tracked_anchor(*plan)) continue;
    ++judged;
    // Any class: its candidate 0 and an odd step between candidates.
    const std::uint32_t state = random();
    const std::uint32_t d = random() | 1u;
    auto run = std::make_unique<shufflesort::TrackedClass>();
    shufflesort::fill_tracked_class(*plan, plan->blocks[plan->anchor_block], state, d, *run);
    run->k_first = random() % 20000;
    run->k_end = std::min<std::uint32_t>(32768, run->k_first + 1 + random() % 12000);
    std::vector<std::uint16_t> expected;
    for (std::uint32_t k = run->k_first; k < run->k_end; ++k) {
      if (zeros_come_first(state + ((k * d) << 16), values)) {
        expected.push_back(static_cast<std::uint16_t>(k));
      }
    }
    survivors += static_cast<int>(expected.size());
    for (Kernel kernel : shufflesort::supported_kernels()) {
      const std::uint32_t kept =
          shufflesort::kernel_functions(kernel).tracked_block_of_class(*plan, *run, lists);
      std::vector<std::uint16_t> got(k_list.begin(), k_list.begin() + kept);
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, expected) << shufflesort::kernel_name(kernel) << " kernel, " << count
                               << " values, " << larger << " larger";
    }
  }
  EXPECT_GT(judged, 40);
  EXPECT_GT(survivors, 100);  // the judge was not merely rejecting everything
}

// Values whose attempt `attempt` comes out in order with `larger` ones
// larger than all the others: the positions of the last draws get them.
std::vector<Value> planted_almost_all_zeros(std::uint32_t seed, int count, int larger,
                                            std::uint64_t attempt) {
  shufflesort::Generator generator{
      shufflesort::generator_steps(attempt * static_cast<unsigned>(count))(seed)};
  std::vector<int> undrawn(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) undrawn[static_cast<std::size_t>(k)] = k;
  std::vector<Value> values(static_cast<std::size_t>(count));
  for (int rank = 0; rank < count; ++rank) {
    const auto idx = static_cast<std::size_t>(generator.next() % static_cast<int>(undrawn.size()));
    values[static_cast<std::size_t>(undrawn[idx])] = rank < count - larger ? 5 : 9;
    undrawn.erase(undrawn.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return values;
}

// Answers past the first scan, in later and later ranges of the classes,
// held to the scan of every attempt up to them.
TEST(SlowTrackedSearch, FindsPlantedLateAnswersAsTheScanDoes) {
  std::mt19937 random(8);
  for (int trial = 0; trial < 6; ++trial) {
    const int count = 40 + static_cast<int>(random() % 61);
    const int larger = 1 + static_cast<int>(random() % 8);
    const std::uint32_t seed = random();
    const std::uint64_t planted = (std::uint64_t{1} << 20) + random() % (std::uint64_t{7} << 20);
    const std::vector<Value> values = planted_almost_all_zeros(seed, count, larger, planted);
    const std::optional<std::uint64_t> expected = shufflesort::first_ordered_attempt_by_scan(
        seed, values.data(), count, planted + 1, shufflesort::widest_kernel());
    ASSERT_TRUE(expected.has_value());
    for (Kernel kernel : shufflesort::supported_kernels()) {
      EXPECT_EQ(shufflesort::first_ordered_attempt(seed, values.data(), count,
                                                   shufflesort::attempt_period(count), kernel),
                expected)
          << shufflesort::kernel_name(kernel) << " kernel, " << count << " values, " << larger
          << " larger, planted at " << planted;
    }
  }
}

}  // namespace
