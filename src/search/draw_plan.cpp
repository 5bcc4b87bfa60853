// Building the draw plan: blocks, their tests, and the order of judging.
#include "search/draw_plan.h"

#include <algorithm>
#include <iterator>

#include "shuffle.h"

namespace shufflesort {

namespace {

// A block's first pool: which of its compacted indices hold the block's
// value, given that every smaller value has been drawn.
struct FirstPool {
  std::uint32_t size = 0;
  std::uint32_t first_index = 0;  // of the block's value
  std::uint32_t last_index = 0;
  std::uint32_t mask[MASK_WORDS] = {};
};

FirstPool first_pool(const Value* values, int count, Value value) {
  FirstPool pool;
  bool seen = false;
  for (int p = 0; p < count; ++p) {
    if (values[p] < value) continue;
    if (values[p] == value) {
      pool.mask[pool.size / 32] |= 1u << (pool.size % 32);
      if (!seen) pool.first_index = pool.size;
      pool.last_index = pool.size;
      seen = true;
    }
    ++pool.size;
  }
  return pool;
}

DrawTest make_test(std::uint32_t draw, std::uint32_t divisor) {
  DrawTest test;
  test.draw = draw;
  const AffineMap step = generator_steps(draw);
  test.multiplier = step.multiplier;
  test.increment = step.increment;
  test.remainder = make_remainder(divisor);
  return test;
}

// The chance that the first `depth` draws of a block of `copies` copies in
// a pool of `size` all take the value.
double chance_of_block(std::uint32_t copies, std::uint32_t size, std::uint32_t depth) {
  double chance = 1;
  for (std::uint32_t q = 0; q < depth; ++q) chance *= double(copies - q) / (size - q);
  return chance;
}

void add_block_tests(DrawPlan& plan, const FirstPool& pool, std::uint32_t first_draw,
                     std::uint32_t copies) {
  const bool together = pool.last_index - pool.first_index + 1 == copies;
  if (together) {
    for (std::uint32_t q = 0; q < copies; ++q) {
      DrawTest test = make_test(first_draw + q, pool.size - q);
      set_window(test, pool.first_index, copies - q);
      if (test.pass_chance < 1) plan.tests[plan.test_count++] = test;
    }
    return;
  }
  DrawTest test = make_test(first_draw, pool.size);
  test.masked = true;
  std::copy(std::begin(pool.mask), std::end(pool.mask), test.mask);
  test.mask_words = static_cast<int>((pool.size + 31) / 32);
  test.pass_chance = double(copies) / pool.size;
  plan.tests[plan.test_count++] = test;
  ScatteredBlock& block = plan.blocks[plan.block_count++];
  block.first_draw = first_draw;
  block.copies = copies;
  block.pool_size = pool.size;
  block.larger = pool.size - copies;
  block.tracked = block.larger <= MAX_TRACKED;
  if (block.tracked) {
    std::uint32_t tracked = 0;
    for (std::uint32_t index = 0; index < pool.size; ++index) {
      if (((pool.mask[index / 32] >> (index % 32)) & 1) == 0)
        block.larger_indices[tracked++] = index;
    }
    // Indices that no draw reaches stand for the missing ones.
    std::fill(block.larger_indices + tracked, std::end(block.larger_indices), 2 * MAX_VALUES + 55);
  }
  block.depth = block.tracked ? copies : std::min(copies, LANE_DEPTH);
  for (std::uint32_t q = 0; q < std::min(block.depth, LANE_DEPTH); ++q) {
    const AffineMap step = generator_steps(first_draw + q);
    block.multipliers[q] = step.multiplier;
    block.increments[q] = step.increment;
    block.remainders[q] = make_remainder(pool.size - q);
  }
  std::copy(std::begin(pool.mask), std::end(pool.mask), block.mask);
  block.mask_words = test.mask_words;
  block.pass_chance = chance_of_block(copies, pool.size, block.depth);
}

// Groups the tests but `skipped_test` into stages, then gives each
// scattered block but `skipped_block` its stages.
void add_stages(DrawPlan& plan, int skipped_test, int skipped_block) {
  for (int test = 0; test < plan.test_count;) {
    if (test == skipped_test) {
      ++test;
      continue;
    }
    Stage& stage = plan.stages[plan.stage_count++];
    stage.first_test = test;
    double chance = 1;
    while (test < plan.test_count && test != skipped_test && chance > STAGE_CHANCE &&
           test - stage.first_test < MAX_STAGE_TESTS) {
      chance *= plan.tests[test++].pass_chance;
    }
    stage.end_test = test;
  }
  for (int block = 0; block < plan.block_count; ++block) {
    if (block == skipped_block) continue;
    const std::uint32_t deepest = plan.blocks[block].depth;
    // A tracked block's draws are cheap, but lanes die slowly: its stages
    // start deeper.
    for (std::uint32_t depth = plan.blocks[block].tracked ? 8 : 2;; depth *= 2) {
      Stage& stage = plan.stages[plan.stage_count++];
      stage.block = block;
      stage.depth = std::min(depth, deepest);
      // Only the first class stage judges one run at a time.
      stage.anchor_drawn = skipped_test == 0 && skipped_block < 0 && block == plan.anchor_block &&
                           !plan.blocks[block].tracked &&
                           plan.stage_count - 1 == plan.class_stages_first;
      if (stage.depth == deepest) break;
    }
  }
}

// What judging a block whole per class costs an attempt, in lane draws:
// the draws it reaches, and for the survivors of the whole block the other
// tests and the exact check, about SURVIVOR_DRAWS. A block of high pass
// chances that every attempt follows far (81 zeros of 81, 9 and 9) can
// cost more than one that rejects at once and leaves a few survivors (its
// 9 ones among 18).
constexpr double SURVIVOR_DRAWS = 1000;

double class_block_cost(const ScatteredBlock& block) {
  double draws = 0;
  double reached = 1;  // the chance that draw q is reached
  for (std::uint32_t q = 0; q < block.copies; ++q) {
    draws += reached;
    reached *= double(block.copies - q) / double(block.pool_size - q);
  }
  return draws + reached * SURVIVOR_DRAWS;
}

// Whether the class search should judge a block whole per class, and
// which: only when the anchor rejects too few attempts for making its
// candidates to pay (it passes BLOCK_CLASS_CHANCE or more, or is the first
// draw of a tracked block), and then, of the blocks that qualify so, the
// one of least cost.
void choose_class_block(DrawPlan& plan) {
  const auto eligible = [&](const ScatteredBlock& block) {
    return block.tracked || double(block.copies) / block.pool_size >= BLOCK_CLASS_CHANCE;
  };
  const bool anchor_tracked = plan.anchor_block >= 0 && plan.blocks[plan.anchor_block].tracked;
  if (!anchor_tracked && plan.tests[0].pass_chance < BLOCK_CLASS_CHANCE) return;
  double least = 0;
  for (int b = 0; b < plan.block_count; ++b) {
    const ScatteredBlock& block = plan.blocks[b];
    const double cost = class_block_cost(block);
    if (eligible(block) && (plan.class_block < 0 || cost < least)) {
      least = cost;
      plan.class_block = b;
    }
  }
  if (plan.class_block < 0) return;
  const std::uint32_t first_draw = plan.blocks[plan.class_block].first_draw;
  for (int t = 0; t < plan.test_count; ++t) {
    if (plan.tests[t].masked && plan.tests[t].draw == first_draw) plan.class_block_test = t;
  }
}

}  // namespace

Remainder make_remainder(std::uint32_t divisor) {
  std::uint32_t log2_ceiling = 0;
  while ((1u << log2_ceiling) < divisor) ++log2_ceiling;
  Remainder remainder;
  remainder.divisor = divisor;
  remainder.shift = 15 + log2_ceiling;
  remainder.magic =
      static_cast<std::uint32_t>(((std::uint64_t{1} << remainder.shift) + divisor - 1) / divisor);
  return remainder;
}

void set_window(DrawTest& test, std::uint32_t low, std::uint32_t width) {
  const std::uint32_t divisor = test.remainder.divisor;
  test.low = low;
  test.width = width;
  test.pass_chance = double(width) / double(divisor);
  test.offset = test.remainder.divisor - low;
  if (width >= divisor) {
    test.factor = 0;  // 0 < 1: every index passes
    test.threshold = 1;
    return;
  }
  test.factor = static_cast<std::uint32_t>(((std::uint64_t{1} << 32) + divisor - 1) / divisor);
  test.threshold =
      static_cast<std::uint32_t>(((std::uint64_t{width} << 32) + divisor - 1) / divisor);
}

void make_draw_plan(const Value* values, const Value* ascending, int count, DrawPlan& plan) {
  plan = DrawPlan{};
  plan.count = count;
  for (std::uint32_t divisor = 1; divisor <= MAX_VALUES; ++divisor) {
    plan.remainders[divisor] = make_remainder(divisor);
  }
  for (int first = 0; first < count;) {
    const Value value = ascending[first];
    int end = first;
    while (end < count && ascending[end] == value) ++end;
    add_block_tests(plan, first_pool(values, count, value), static_cast<std::uint32_t>(first),
                    static_cast<std::uint32_t>(end - first));
    first = end;
  }
  // Values that all pass still need an anchor for the class search.
  if (plan.test_count == 0) {
    DrawTest& test = plan.tests[plan.test_count++];
    test = make_test(0, static_cast<std::uint32_t>(count));
    set_window(test, 0, static_cast<std::uint32_t>(count));
  }
  const auto by_chance = [](const auto& a, const auto& b) { return a.pass_chance < b.pass_chance; };
  std::stable_sort(plan.tests, plan.tests + plan.test_count, by_chance);
  std::stable_sort(plan.blocks, plan.blocks + plan.block_count, by_chance);
  for (int block = 0; block < plan.block_count; ++block) {
    if (plan.tests[0].masked && plan.blocks[block].first_draw == plan.tests[0].draw) {
      plan.anchor_block = block;
    }
  }
  choose_class_block(plan);
  add_stages(plan, -1, -1);
  plan.class_stages_first = plan.stage_count;
  add_stages(plan, 0, -1);
  plan.block_class_stages_first = plan.stage_count;
  add_stages(plan, plan.class_block_test, plan.class_block);
}

bool passes(const DrawTest& test, std::uint32_t index) {
  if (test.masked) return ((test.mask[index / 32] >> (index % 32)) & 1) != 0;
  return index - test.low < test.width;
}

}  // namespace shufflesort
