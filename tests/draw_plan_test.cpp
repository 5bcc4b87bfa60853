// The draw plan and the lane judges held to the literal arithmetic and to
// the exact attempt check: the remainder and window shortcuts for every
// result, the tests each kind of block gets, and the kernels' stages, which
// may let through attempts that do not come out in order but never drop
// one that does.
#include "search/draw_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "search/kernels.h"
#include "shuffle.h"

using shufflesort::DrawPlan;
using shufflesort::DrawTest;
using shufflesort::Value;

namespace {

constexpr std::uint32_t RESULTS = shufflesort::LCG_OUTPUT_MASK + 1;

TEST(Remainder, ExactForEveryResultAndDivisor) {
  for (std::uint32_t divisor = 1; divisor <= shufflesort::MAX_VALUES; ++divisor) {
    const shufflesort::Remainder by = shufflesort::make_remainder(divisor);
    shufflesort::Lanes4 result = {0, 1, 2, 3};
    for (std::uint32_t r = 0; r < RESULTS; r += 4, result += 4) {
      const shufflesort::Lanes4 index = shufflesort::remainder(result, by);
      for (std::uint32_t lane = 0; lane < 4; ++lane) {
        ASSERT_EQ(index[lane], (r + lane) % divisor) << "divisor " << divisor;
      }
    }
  }
}

// The window test by multiply and compare, in lanes, against the literal
// remainder, for every result: states r * 2^16 give result r for draw 0.
TEST(WindowTest, AgreesWithTheRemainderForEveryResult) {
  std::mt19937 random(3);
  for (int trial = 0; trial < 300; ++trial) {
    const std::uint32_t divisor = 2 + random() % (shufflesort::MAX_VALUES - 1);
    const std::uint32_t low = random() % divisor;
    const std::uint32_t width = 1 + random() % (divisor - low);
    DrawTest test;
    test.remainder = shufflesort::make_remainder(divisor);
    shufflesort::set_window(test, low, width);
    for (std::uint32_t r = 0; r < RESULTS; ++r) {
      const shufflesort::Lanes4 state = shufflesort::Lanes4{} + (r << 16);
      const bool lanes = shufflesort::test_passes<shufflesort::Lanes4>(test, state)[0] != 0;
      ASSERT_EQ(lanes, r % divisor - low < width)
          << "r " << r << " divisor " << divisor << " window " << low << "+" << width;
      ASSERT_EQ(shufflesort::passes(test, r % divisor), lanes);
    }
  }
}

std::unique_ptr<DrawPlan> plan_of(const std::vector<Value>& values) {
  std::vector<Value> ascending = values;
  std::sort(ascending.begin(), ascending.end());
  auto plan = std::make_unique<DrawPlan>();
  shufflesort::make_draw_plan(values.data(), ascending.data(), static_cast<int>(values.size()),
                              *plan);
  return plan;
}

struct PlanShape {
  std::vector<Value> values;
  int window_tests;
  int masked_tests;
  int scattered_blocks;
  int tracked_blocks;
};

TEST(DrawPlan, EachKindOfBlockGetsItsTests) {
  std::vector<Value> thirty_mixed(30);  // 0 1 0 1 ...: 15 larger values
  for (std::size_t i = 0; i < thirty_mixed.size(); ++i) thirty_mixed[i] = static_cast<Value>(i % 2);
  const std::vector<PlanShape> shapes = {
      {{3, 1, 2}, 2, 0, 0, 0},           // distinct: a window per draw but the last
      {{1, 1, 2, 2}, 2, 0, 0, 0},        // ones together: windows of 2 then 1
      {{2, 1, 2, 1}, 0, 1, 1, 1},        // ones among twos: scattered, 2 larger
      {{5, 5, 5}, 1, 0, 0, 0},           // all equal: only the anchor that all pass
      {thirty_mixed, 0, 1, 1, 0},        // too many larger values to track
      {{0, 9, 0, 0, 7, 0}, 1, 1, 1, 1},  // zeros scattered; 7 then 9 are singles
  };
  for (const PlanShape& shape : shapes) {
    const auto plan = plan_of(shape.values);
    int windows = 0;
    int masks = 0;
    for (int t = 0; t < plan->test_count; ++t) (plan->tests[t].masked ? masks : windows) += 1;
    int tracked = 0;
    for (int b = 0; b < plan->block_count; ++b) tracked += plan->blocks[b].tracked ? 1 : 0;
    EXPECT_EQ(windows, shape.window_tests) << testing::PrintToString(shape.values);
    EXPECT_EQ(masks, shape.masked_tests) << testing::PrintToString(shape.values);
    EXPECT_EQ(plan->block_count, shape.scattered_blocks) << testing::PrintToString(shape.values);
    EXPECT_EQ(tracked, shape.tracked_blocks) << testing::PrintToString(shape.values);
    for (int t = 1; t < plan->test_count; ++t) {
      EXPECT_LE(plan->tests[t - 1].pass_chance, plan->tests[t].pass_chance);  // rarest first
    }
  }
}

// Values whose attempt `attempt` comes out in order: each draw's file
// position gets the rank of the draw, divided by `group` to make repeats.
std::vector<Value> planted(std::uint32_t state, int count, int group) {
  shufflesort::Generator generator{state};
  std::vector<int> undrawn(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) undrawn[static_cast<std::size_t>(k)] = k;
  std::vector<Value> values(static_cast<std::size_t>(count));
  for (int rank = 0; rank < count; ++rank) {
    const auto idx = static_cast<std::size_t>(generator.next() % static_cast<int>(undrawn.size()));
    values[static_cast<std::size_t>(undrawn[idx])] = rank / group;
    undrawn.erase(undrawn.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return values;
}

// Every stage of every kernel on a chunk of attempts that holds a planted
// ordered one among many with the same values: whatever passes the exact
// check must pass the lanes, and the planted attempt must be among them.
TEST(KernelStages, NeverDropAnOrderedAttempt) {
  std::mt19937 random(17);
  constexpr std::uint32_t ATTEMPTS = 4096;
  const shufflesort::AffineMap first_draw = shufflesort::generator_steps(1);
  for (int trial = 0; trial < 60; ++trial) {
    const int count = 3 + static_cast<int>(random() % 98);
    const int group = 1 + static_cast<int>(random() % 40);
    const std::uint32_t seed = random();
    const std::uint32_t planted_attempt = random() % ATTEMPTS;
    const shufflesort::AffineMap attempt_step =
        shufflesort::generator_steps(std::uint64_t{planted_attempt} * static_cast<unsigned>(count));
    const std::vector<Value> values = planted(attempt_step(seed), count, group);
    std::vector<Value> ascending = values;
    std::sort(ascending.begin(), ascending.end());
    const auto plan = plan_of(values);
    for (shufflesort::Kernel kernel : shufflesort::supported_kernels()) {
      const shufflesort::KernelFunctions functions = shufflesort::kernel_functions(kernel);
      std::vector<std::uint32_t> states(ATTEMPTS + 64);
      std::vector<std::uint32_t> tags(ATTEMPTS + 64);
      const shufflesort::Candidates list{states.data(), tags.data()};
      std::uint32_t passed =
          functions.first_stage_of_attempts(*plan, first_draw(seed), 0, ATTEMPTS, list, 0);
      passed = functions.later_stages(*plan, 1, plan->class_stages_first, list, passed);
      const std::vector<std::uint32_t> kept(tags.begin(), tags.begin() + passed);
      shufflesort::Generator generator{seed};
      for (std::uint32_t attempt = 0; attempt < ATTEMPTS; ++attempt) {
        const bool ordered = shufflesort::attempt_comes_out_in_order(generator.state, values.data(),
                                                                     ascending.data(), count);
        if (ordered || attempt == planted_attempt) {
          ASSERT_TRUE(ordered);
          ASSERT_TRUE(std::binary_search(kept.begin(), kept.end(), attempt))
              << shufflesort::kernel_name(kernel) << " dropped attempt " << attempt << " of "
              << count << " values in groups of " << group;
        }
        for (int draw = 0; draw < count; ++draw) generator.next();
      }
    }
  }
}

}  // namespace
