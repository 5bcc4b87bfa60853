// The generator's known results, the jump-ahead against single steps, the
// shuffle's permutation for known draws, the order test, and the early-exit
// attempt check against the literal shuffle and order test.
#include "shuffle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "random_values.h"

using shufflesort::Generator;
using shufflesort::Value;

namespace {

TEST(Generator, KnownResultsForSeedsOneAndZero) {
  const std::vector<std::pair<std::uint32_t, std::vector<int>>> cases = {
      {1, {41, 18467, 6334, 26500, 19169}},
      {0, {38, 7719, 21238, 2437, 8855}},
  };
  for (const auto& [seed, expected] : cases) {
    Generator generator;
    generator.seed(seed);
    std::vector<int> results;
    for (std::size_t i = 0; i < expected.size(); ++i) results.push_back(generator.next());
    EXPECT_EQ(results, expected) << "seed " << seed;
  }
}

TEST(Generator, UnseededStateIsOne) { EXPECT_EQ(Generator{}.next(), 41); }

TEST(Generator, JumpAheadEqualsSingleSteps) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 50; ++trial) {
    const std::uint32_t seed = random();
    const std::uint64_t steps = random() % 5000;
    Generator generator{seed};
    for (std::uint64_t i = 0; i < steps; ++i) generator.next();
    EXPECT_EQ(shufflesort::generator_steps(steps)(seed), generator.state) << steps << " steps";
  }
}

TEST(Generator, ResultsRepeatAfterTwoToThe31Steps) {
  // Bit 31 of the state never reaches a result, and 2^31 steps only flip it.
  const shufflesort::AffineMap half_period = shufflesort::generator_steps(std::uint64_t{1} << 31);
  for (std::uint32_t x : {0u, 1u, 12345u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(half_period(x), x + 0x80000000u);
    EXPECT_EQ(shufflesort::generator_output(half_period(x) * shufflesort::LCG_MULTIPLIER),
              shufflesort::generator_output(x * shufflesort::LCG_MULTIPLIER));
  }
  EXPECT_EQ(shufflesort::generator_steps(std::uint64_t{1} << 32)(99u), 99u);
}

std::vector<Value> shuffled_from(std::uint32_t seed, std::vector<Value> pool) {
  Generator generator{seed};
  std::vector<Value> shuffled(pool.size());
  std::vector<Value> scratch(pool.size());
  shufflesort::shuffle(generator, pool.data(), static_cast<int>(pool.size()), shuffled.data(),
                       scratch.data());
  return shuffled;
}

TEST(Shuffle, DrawsFromTheCompactedPoolInFileOrder) {
  // Seeded with 1 the results are 41, 18467, 6334, 26500, 19169:
  // 41 % 3 = 2 takes z, 18467 % 2 = 1 takes y of (x, y), x is last.
  EXPECT_EQ(shuffled_from(1, {10, 20, 30}), (std::vector<Value>{30, 20, 10}));
  // 41 % 5 = 1, 18467 % 4 = 3, 6334 % 3 = 1, 26500 % 2 = 0, last.
  EXPECT_EQ(shuffled_from(1, {1, 2, 3, 4, 5}), (std::vector<Value>{2, 5, 3, 1, 4}));
}

TEST(Shuffle, TakesOneResultPerValue) {
  for (int count = 0; count <= shufflesort::MAX_VALUES; count += 7) {
    Generator generator{5};
    std::vector<Value> pool(static_cast<std::size_t>(count), 1);
    std::vector<Value> shuffled(pool.size());
    std::vector<Value> scratch(pool.size());
    shufflesort::shuffle(generator, pool.data(), count, shuffled.data(), scratch.data());
    EXPECT_EQ(generator.state, shufflesort::generator_steps(static_cast<std::uint64_t>(count))(5u));
  }
}

TEST(Shuffle, IsAPermutation) {
  std::mt19937 random(3);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<Value> values =
        random_values(random, 1 + random() % shufflesort::MAX_VALUES, 7, -3);
    std::vector<Value> shuffled = shuffled_from(random(), values);
    std::sort(shuffled.begin(), shuffled.end());
    std::sort(values.begin(), values.end());
    EXPECT_EQ(shuffled, values);
  }
}

TEST(OrderTest, PassesOnlyForAtLeastOneOrderedPair) {
  const std::vector<std::pair<std::vector<Value>, bool>> cases = {
      {{}, false},
      {{5}, false},
      {{1, 2}, true},
      {{2, 1}, false},
      {{2, 2}, true},
      {{1, 2, 2}, true},
      {{2, 1, 2}, false},
      {{-2147483647 - 1, -1, 0, 2147483647}, true},
      {{1, 2, 3, 5, 4}, false},
  };
  for (const auto& [values, expected] : cases) {
    EXPECT_EQ(shufflesort::comes_out_in_order(values.data(), static_cast<int>(values.size())),
              expected);
  }
}

TEST(AttemptCheck, AgreesWithLiteralShuffleAndOrderTest) {
  std::mt19937 random(11);
  int ordered = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const std::size_t size = random() % 7;
    const std::vector<Value> values = random_values(random, size, 1 + random() % 6, -2);
    std::vector<Value> ascending = values;
    std::sort(ascending.begin(), ascending.end());
    const std::uint32_t state = random();
    const std::vector<Value> shuffled = shuffled_from(state, values);
    const int count = static_cast<int>(values.size());
    const bool literal = shufflesort::comes_out_in_order(shuffled.data(), count);
    EXPECT_EQ(
        shufflesort::attempt_comes_out_in_order(state, values.data(), ascending.data(), count),
        literal);
    ordered += literal ? 1 : 0;
  }
  EXPECT_GT(ordered, 1000);  // both answers occur often
}

}  // namespace

namespace {

// Up to a hundred values, past the first word of undrawn positions: the
// values drawn in order by a planted attempt, and the same values with two
// of them swapped, which the literal shuffle then judges.
TEST(AttemptCheck, AgreesWithLiteralShuffleForManyValues) {
  std::mt19937 random(23);
  for (int trial = 0; trial < 2000; ++trial) {
    const auto size = static_cast<std::size_t>(2 + random() % 99);
    const std::uint32_t state = random();
    std::vector<Value> values(size);
    const std::vector<Value> ranks = [&] {
      std::vector<Value> order(size);
      for (std::size_t k = 0; k < size; ++k) order[k] = static_cast<Value>(k);
      return shuffled_from(state, order);  // file positions in draw order
    }();
    const auto group = static_cast<Value>(1 + random() % 5);
    for (std::size_t rank = 0; rank < size; ++rank) {
      values[static_cast<std::size_t>(ranks[rank])] = static_cast<Value>(rank) / group;
    }
    if (trial % 2 == 1) std::swap(values[random() % size], values[random() % size]);
    std::vector<Value> ascending = values;
    std::sort(ascending.begin(), ascending.end());
    const std::vector<Value> shuffled = shuffled_from(state, values);
    const int count = static_cast<int>(size);
    EXPECT_EQ(
        shufflesort::attempt_comes_out_in_order(state, values.data(), ascending.data(), count),
        shufflesort::comes_out_in_order(shuffled.data(), count))
        << size << " values, trial " << trial;
  }
}

TEST(Generator, InverseUndoesAMap) {
  for (std::uint64_t steps : {1ull, 2ull, 13ull, 1000003ull}) {
    const shufflesort::AffineMap map = shufflesort::generator_steps(steps);
    const shufflesort::AffineMap undo = shufflesort::inverse(map);
    for (std::uint32_t x : {0u, 1u, 0xDEADBEEFu, 0xFFFFFFFFu}) EXPECT_EQ(undo(map(x)), x);
  }
}

}  // namespace
