// The class judges held to the literal draws: for files of zeros and larger
// values, every kernel's survivors of a residue class must be exactly the
// candidates whose first draws of the zeros' block never take a larger
// value, whether the judge tracks the larger values (a few of them) or maps
// the draws to the first pool (many); and the search must find planted late
// answers that only its class ranges reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "planted_values.h"
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

// Whether the first `draws` draws from `state` (after an attempt's first
// draw) take only zeros: pool compaction done literally, as the shuffle
// does it.
bool zeros_come_first(std::uint32_t state, const std::vector<Value>& values, std::uint32_t draws) {
  std::vector<Value> pool = values;
  shufflesort::Generator generator{shufflesort::inverse(shufflesort::generator_steps(1))(state)};
  for (std::uint32_t draw = 0; draw < draws; ++draw) {
    const auto idx = static_cast<std::size_t>(generator.next() % static_cast<int>(pool.size()));
    if (pool[idx] != 0) return false;
    pool.erase(pool.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return true;
}

// Trials of each kind of judge: how many larger values, at most and at least.
struct JudgeKind {
  const char* name;
  int fewest_larger;
  int most_larger;
  bool tracked;
};

constexpr JudgeKind JUDGE_KINDS[] = {
    {"tracked", 1, static_cast<int>(shufflesort::MAX_TRACKED), true},
    {"scattered", static_cast<int>(shufflesort::MAX_TRACKED) + 1, 40, false},
};

TEST(ClassJudge, KeepsExactlyTheCandidatesThatDrawOnlyZerosFirst) {
  std::mt19937 random(41);
  std::vector<std::uint16_t> k_list(shufflesort::CLASS_LIST_SIZE);
  std::vector<std::uint8_t> byte_lists(shufflesort::CLASS_BYTE_LISTS *
                                       std::size_t{shufflesort::CLASS_LIST_SIZE});
  shufflesort::ClassLists lists{k_list.data(), {}};
  for (std::uint32_t j = 0; j < shufflesort::CLASS_BYTE_LISTS; ++j) {
    lists.bytes[j] = byte_lists.data() + j * std::size_t{shufflesort::CLASS_LIST_SIZE};
  }
  for (const JudgeKind& kind : JUDGE_KINDS) {
    int survivors = 0;
    int judged = 0;
    for (int trial = 0; trial < 48; ++trial) {
      const int larger = kind.fewest_larger + trial % (kind.most_larger - kind.fewest_larger + 1);
      // Every other trial few zeros, whose whole block some candidates pass;
      // the others up to a file full, whose long blocks most fail late.
      const int most_zeros = trial % 2 == 0 ? 3 : 100 - larger;
      const int count = larger + 2 + static_cast<int>(random() % (most_zeros - 1));
      const std::vector<Value> values = almost_all_zeros(random, count, larger, 1);
      std::vector<Value> ascending = values;
      std::sort(ascending.begin(), ascending.end());
      auto plan = std::make_unique<shufflesort::DrawPlan>();
      shufflesort::make_draw_plan(values.data(), ascending.data(), count, *plan);
      // Zeros standing together get window tests instead.
      if (plan->anchor_block < 0) continue;
      const shufflesort::ScatteredBlock& block = plan->blocks[plan->anchor_block];
      ASSERT_EQ(block.tracked, kind.tracked);
      ++judged;
      // Any class: its candidate 0 and an odd step between candidates.
      const std::uint32_t state = random();
      const std::uint32_t d = random() | 1u;
      auto run = std::make_unique<shufflesort::BlockClass>();
      shufflesort::fill_block_class(*plan, block, state, d, *run);
      run->k_first = random() % 20000;
      run->k_end = std::min<std::uint32_t>(32768, run->k_first + 1 + random() % 12000);
      std::vector<std::uint16_t> expected;
      for (std::uint32_t k = run->k_first; k < run->k_end; ++k) {
        if (zeros_come_first(state + ((k * d) << 16), values, block.copies)) {
          expected.push_back(static_cast<std::uint16_t>(k));
        }
      }
      survivors += static_cast<int>(expected.size());
      for (Kernel kernel : shufflesort::supported_kernels()) {
        const std::uint32_t kept =
            shufflesort::kernel_functions(kernel).block_of_class(block, *run, lists);
        std::vector<std::uint16_t> got(k_list.begin(), k_list.begin() + kept);
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, expected) << kind.name << " judge, " << shufflesort::kernel_name(kernel)
                                 << " kernel, " << count << " values, " << larger << " larger";
      }
    }
    EXPECT_GT(judged, 30) << kind.name;
    EXPECT_GT(survivors, 100) << kind.name;  // the judge was not merely rejecting everything
  }
}

// Values whose attempt `attempt` comes out in order with `larger` ones
// larger than all the others, the last `largest` of them larger still: the
// positions of the last draws get them.
std::vector<Value> planted_almost_all_zeros(std::uint32_t seed, int count, int larger, int largest,
                                            std::uint64_t attempt) {
  return planted_by_rank(seed, count, attempt, [&](int rank) {
    return rank < count - larger ? 5 : (rank < count - largest ? 9 : 10);
  });
}

// Answers past the first scan, in later and later ranges of the classes,
// held to the scan of every attempt up to them.
TEST(SlowBlockClassSearch, FindsPlantedLateAnswersAsTheScanDoes) {
  std::mt19937 random(8);
  int elsewhere = 0;  // trials whose whole-block search judges a block not the anchor's
  for (int trial = 0; trial < 12; ++trial) {
    // Tracked blocks, scattered ones at most half larger, and a scattered
    // block of 9 larger values whose last is larger still: its 8 copies'
    // first draw is then the rarest test, but the whole-block search must
    // judge the zeros, as their block is the least likely to pass whole.
    const int kind = trial % 3;
    const int count =
        kind == 2 ? 82 + static_cast<int>(random() % 19) : 40 + static_cast<int>(random() % 61);
    const int larger = kind == 0   ? 1 + static_cast<int>(random() % 8)
                       : kind == 1 ? 9 + static_cast<int>(random() % (count / 2 - 9))
                                   : 9;
    const int largest = kind == 2 ? 1 : 0;
    const std::uint32_t seed = random();
    const std::uint64_t planted = (std::uint64_t{1} << 20) + random() % (std::uint64_t{7} << 20);
    const std::vector<Value> values =
        planted_almost_all_zeros(seed, count, larger, largest, planted);
    if (kind == 2) {
      std::vector<Value> ascending = values;
      std::sort(ascending.begin(), ascending.end());
      auto plan = std::make_unique<shufflesort::DrawPlan>();
      shufflesort::make_draw_plan(values.data(), ascending.data(), count, *plan);
      // Unless the larger ones stand together, in window tests.
      if (plan->class_block >= 0 && plan->class_block != plan->anchor_block) ++elsewhere;
    }
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
  EXPECT_GE(elsewhere, 2);
}

}  // namespace
