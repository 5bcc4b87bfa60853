// The draw plan: the remainder the lanes take for every result and divisor,
// the tests and judges each kind of block gets, the pair, and stage lists
// that judge every test and block exactly once.
#include "search/draw_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "draw_plans.h"
#include "random_values.h"
#include "search/class_lanes.h"
#include "search/stage_order.h"

using shufflesort::DrawPlan;
using shufflesort::Value;

namespace {

TEST(Divisor, LanesTakeTheExactRemainderOfEveryResult) {
  for (std::uint32_t divisor = 2; divisor <= 128; ++divisor) {
    const shufflesort::Divisor by = shufflesort::make_divisor(divisor);
    shufflesort::ClassDraws draws;
    draws.multipliers[0] = shufflesort::twice(1);
    draws.offsets[0] = 0;
    draws.magics[0] = shufflesort::twice(by.magic);
    draws.divisors[0] = shufflesort::twice(by.divisor);
    draws.shifts[0] = by.shift;
    shufflesort::Shorts8 result = {0, 1, 2, 3, 4, 5, 6, 7};
    for (std::uint32_t r = 0; r < shufflesort::CLASS_SIZE; r += 8, result += 8) {
      const shufflesort::Shorts8 index = shufflesort::draw_index(draws, 0, result);
      for (std::uint32_t lane = 0; lane < 8; ++lane) {
        ASSERT_EQ(index[lane], (r + lane) % divisor) << "divisor " << divisor;
      }
    }
  }
}

// A file's tests and blocks: window tests, blocks, and tests of blocks'
// last draws; `tracked` is how many blocks follow their larger values, or
// -1 where either judge may serve.
struct PlanShape {
  std::vector<Value> values;
  int window_tests;
  int blocks;
  int last_draw_tests;
  int tracked;
};

// `count` values alternating 0 and 1.
std::vector<Value> alternating(std::size_t count) {
  std::vector<Value> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<Value>(i % 2);
  return values;
}

// `zeros` zeros and `ones` ones, the ones spread evenly.
std::vector<Value> spread_ones(std::size_t zeros, std::size_t ones) {
  std::vector<Value> values(zeros + ones, 0);
  for (std::size_t k = 0; k < ones; ++k) values[(2 * k + 1) * values.size() / (2 * ones)] = 1;
  return values;
}

TEST(DrawPlan, EachKindOfBlockGetsItsTestsAndJudge) {
  const std::vector<PlanShape> shapes = {
      {{3, 1, 2}, 2, 0, 0, 0},            // distinct: a window per draw but the last
      {{1, 1, 2, 2}, 2, 0, 0, 0},         // ones together: windows of 2 then 1
      {{2, 1, 2, 1}, 0, 1, 1, -1},        // ones among twos, none before the first
      {{5, 5, 5}, 0, 0, 0, 0},            // all equal: nothing can fail
      {spread_ones(90, 9), 0, 1, 0, 1},   // long, few larger values: tracked; no gap empty
      {spread_ones(80, 16), 0, 1, 0, 0},  // more larger values: the early draws cost less
      {alternating(34), 0, 1, 1, 0},      // 17 larger values: too many to track
      {{0, 9, 0, 0, 7, 0}, 1, 1, 0, -1},  // zeros among 7 and 9; then 7 is a single
  };
  for (const PlanShape& shape : shapes) {
    const auto plan = plan_of(shape.values);
    int windows = 0;
    int first_draws = 0;
    int last_draws = 0;
    for (int t = 0; t < plan->test_count; ++t) {
      const shufflesort::FixedTest& test = plan->tests[t];
      const bool last_draw = std::any_of(plan->blocks, plan->blocks + plan->block_count,
                                         [&](const shufflesort::ScatteredBlock& block) {
                                           return test.draw == block.first_draw + block.copies - 1;
                                         });
      (test.block >= 0 ? first_draws : last_draw ? last_draws : windows) += 1;
    }
    int tracked = 0;
    for (int b = 0; b < plan->block_count; ++b) tracked += plan->blocks[b].tracked ? 1 : 0;
    const std::string name = testing::PrintToString(shape.values);
    EXPECT_EQ(windows, shape.window_tests) << name;
    EXPECT_EQ(plan->block_count, shape.blocks) << name;
    EXPECT_EQ(last_draws, shape.last_draw_tests) << name;
    if (shape.tracked >= 0) {
      EXPECT_EQ(tracked, shape.tracked) << name;
    }
    EXPECT_EQ(first_draws, plan->block_count) << name;  // each block's first draw is a fixed test
    EXPECT_EQ(shufflesort::any_test(*plan), plan->test_count > 0) << name;
  }
}

// That `list` judges each test but the first draws of blocks once, and
// each block once, from its first draw, or the pair's block from its
// third, before any other block and after only stages that keep its
// bytes; a stage that only compacts may come first after a pair.
void expect_covers(const DrawPlan& plan, const shufflesort::StageList& list, bool after_pair) {
  std::vector<int> tests(static_cast<std::size_t>(plan.test_count));
  std::vector<int> blocks(static_cast<std::size_t>(plan.block_count));
  bool before_carried_on = after_pair && plan.pair.block >= 0;
  for (int s = 0; s < list.count; ++s) {
    const shufflesort::Stage& stage = list.stages[s];
    if (stage.only_compacts()) {
      EXPECT_TRUE(after_pair && s == 0) << "stage " << s;
    }
    for (int t = 0; t < stage.test_count; ++t) ++tests[static_cast<std::size_t>(stage.tests[t])];
    const bool carried_on = after_pair && stage.block >= 0 && stage.block == plan.pair.block;
    if (carried_on) before_carried_on = false;
    EXPECT_EQ(stage.keeps, before_carried_on ? 2u : 0u) << "stage " << s;
    if (stage.block < 0) continue;
    EXPECT_FALSE(before_carried_on) << "a block before the pair's";
    ++blocks[static_cast<std::size_t>(stage.block)];
    EXPECT_EQ(stage.from, carried_on ? 2u : 0u);
  }
  for (int t = 0; t < plan.test_count; ++t) {
    const bool in_pair = after_pair && (t == plan.pair.lead_test || t == plan.pair.second_test);
    const bool staged = plan.tests[t].block < 0;
    EXPECT_EQ(tests[static_cast<std::size_t>(t)], staged && !in_pair ? 1 : 0) << "test " << t;
  }
  for (int b = 0; b < plan.block_count; ++b) EXPECT_EQ(blocks[static_cast<std::size_t>(b)], 1);
}

TEST(DrawPlan, StagesJudgeEveryTestAndBlockOnce) {
  std::mt19937 random(13);
  int pairs = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const auto count = static_cast<std::size_t>(2 + random() % 99);
    const auto plan = plan_of(random_values(random, count, 1 + random() % 40, -20));
    expect_covers(*plan, plan->all_stages, false);
    if (!plan->pair.used) continue;
    ++pairs;
    expect_covers(*plan, plan->after_pair, true);
    EXPECT_LT(plan->cost_with_pair, plan->cost_without_pair);
  }
  EXPECT_GT(pairs, 100);
}

// A pair table judges its block's first two draws, so that block is
// judged on from its third, by the judge that costs less from there;
// every other block by the one that costs less from its first draw.
TEST(DrawPlan, EachBlockJudgedTheCheaperWayFromWhereItsStageStarts) {
  std::mt19937 random(17);
  int changed = 0;  // pairs' blocks judged otherwise than from the first draw
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<Value> values = random_values(random, 20 + random() % 80, 2, 0);
    if (trial % 2 == 0) {  // zeros with 1 to 20 larger values
      std::fill(values.begin(), values.end(), 0);
      std::fill_n(values.begin(), 1 + random() % 20, 1);
      std::shuffle(values.begin(), values.end(), random);
    }
    const auto plan = plan_of(values);
    for (int b = 0; b < plan->block_count; ++b) {
      const shufflesort::ScatteredBlock& block = plan->blocks[b];
      const auto cheaper_tracked = [&](std::uint32_t from) {
        return block.larger <= shufflesort::MAX_TRACKED && shufflesort::tracking_pays(block, from);
      };
      const bool carried_on = plan->pair.used && plan->pair.block == b;
      EXPECT_EQ(block.tracked, cheaper_tracked(carried_on ? 2 : 0))
          << testing::PrintToString(values);
      if (carried_on && cheaper_tracked(2) != cheaper_tracked(0)) ++changed;
    }
  }
  EXPECT_GT(changed, 3);
  // 88 zeros with 11 ones: carrying the earlier draws costs less from the
  // first draw, following the ones from the third.
  const auto plan = plan_of(spread_ones(88, 11));
  EXPECT_EQ(plan->pair.block, 0);
  EXPECT_TRUE(plan->blocks[0].tracked);
  EXPECT_FALSE(shufflesort::tracking_pays(plan->blocks[0], 0));
}

TEST(DrawPlan, PairsTheRarestDraws) {
  // Distinct values: the first two draws pass 1/n and 1/(n-1).
  const auto distinct = plan_of({13, 2, 11, 5, 7, 1, 12, 3, 9, 4, 10, 6, 8});
  ASSERT_TRUE(distinct->pair.used);
  EXPECT_DOUBLE_EQ(distinct->pair.pass_chance, 1.0 / (13 * 12));
  // 93 ones then 6 twos: the ones stand together, and their last draws are
  // the rarest windows, 1/7 and 2/8.
  std::vector<Value> sorted(99, 1);
  std::fill(sorted.begin() + 93, sorted.end(), 2);
  const auto windows = plan_of(sorted);
  ASSERT_TRUE(windows->pair.used);
  EXPECT_DOUBLE_EQ(windows->pair.pass_chance, 1.0 / 7 * 2 / 8);
  // Half zeros, half ones: the zeros' first two draws.
  const auto halves = plan_of(alternating(40));
  ASSERT_TRUE(halves->pair.used);
  EXPECT_EQ(halves->pair.block, 0);
  EXPECT_DOUBLE_EQ(halves->pair.pass_chance, 20.0 * 19 / (40 * 39));
}

}  // namespace
