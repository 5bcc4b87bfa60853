// The residue classes and the pair table held to the literal generator:
// within a class every draw's result is the same affine function of the
// lead draw's result, candidates map back to their attempts, and a pair
// table hands each class exactly the candidates that pass its two draws.
#include "search/classes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "draw_plans.h"
#include "random_values.h"
#include "search/pair_table.h"
#include "search/search.h"

using shufflesort::ClassDraws;
using shufflesort::ClassFrame;
using shufflesort::DrawPlan;
using shufflesort::Value;

namespace {

// Draw i's result in attempt `attempt` from `seed`, by the literal generator.
int literal_result(std::uint32_t seed, int count, std::uint64_t attempt, int draw) {
  shufflesort::Generator generator{shufflesort::generator_steps(
      attempt * static_cast<unsigned>(count) + static_cast<unsigned>(draw))(seed)};
  return generator.next();
}

std::uint32_t result_in_class(const ClassDraws& draws, int draw, std::uint32_t u) {
  return (u * draws.multipliers[draw] + draws.offsets[draw]) & shufflesort::LCG_OUTPUT_MASK;
}

TEST(ResidueClasses, EveryResultIsAnAffineFunctionOfTheLeadsResult) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 60; ++trial) {
    const int count = 2 + static_cast<int>(random() % 99);
    const auto plan = plan_of(random_values(random, static_cast<std::size_t>(count), 5, 0));
    const std::uint32_t seed = random();
    const auto lead = static_cast<std::uint32_t>(random() % static_cast<unsigned>(count));
    ClassFrame frame(seed, *plan, lead);
    auto draws = std::make_unique<ClassDraws>();
    frame.fill_constants(*draws);
    EXPECT_EQ(std::uint64_t{frame.classes()} * shufflesort::CLASS_SIZE,
              shufflesort::attempt_period(count));
    for (int sample = 0; sample < 8; ++sample) {
      const std::uint32_t c = random() % frame.classes();
      frame.enter(c, *draws);
      const std::uint32_t k = random() % shufflesort::CLASS_SIZE;
      const std::uint32_t u = frame.candidate(k);
      const std::uint64_t attempt = c + std::uint64_t{frame.classes()} * k;
      ASSERT_EQ(frame.k_of(u), k);
      ASSERT_EQ(frame.attempt_of(u), attempt);
      ASSERT_EQ(u, static_cast<std::uint32_t>(literal_result(seed, count, attempt, lead)));
      ASSERT_EQ((frame.candidate(k + 1) - u) & shufflesort::LCG_OUTPUT_MASK,
                frame.candidate_step());
      // The start state may differ from the literal one in bit 31 only,
      // which no result sees.
      const std::uint32_t start =
          shufflesort::generator_steps(attempt * static_cast<unsigned>(count))(seed);
      ASSERT_EQ(frame.start_state(u) & 0x7FFFFFFF, start & 0x7FFFFFFF);
      for (int draw = 0; draw < count; ++draw) {
        ASSERT_EQ(result_in_class(*draws, draw, u),
                  static_cast<std::uint32_t>(literal_result(seed, count, attempt, draw)))
            << count << " values, draw " << draw << ", lead " << lead;
      }
    }
  }
}

// Whether draw `draw` of the attempt with lead result u passes `test`.
bool test_passes(const shufflesort::FixedTest& test, const ClassDraws& draws, std::uint32_t u) {
  return test.allowed.has(result_in_class(draws, static_cast<int>(test.draw), u) % test.pool_size);
}

// Whether the first two draws of `block` take its value, literally.
bool block_pair_passes(const shufflesort::ScatteredBlock& block, const ClassDraws& draws,
                       std::uint32_t u) {
  std::vector<bool> holds(block.pool_size);
  for (std::uint32_t e = 0; e < block.pool_size; ++e) holds[e] = block.values.has(e);
  for (std::uint32_t q = 0; q < 2; ++q) {
    const std::uint32_t draw = block.first_draw + q;
    const std::size_t idx = result_in_class(draws, static_cast<int>(draw), u) % holds.size();
    if (!holds[idx]) return false;
    holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return true;
}

// The u of the entries that a class split as `split` takes, in the order
// of the entries: the low row's bits below the split, the high row's from it.
std::vector<std::uint16_t> taken_by_rows(const shufflesort::PairTable& table,
                                         const shufflesort::PairSplit& split) {
  std::vector<std::uint16_t> taken;
  for (std::uint32_t j = 0; j < table.entries; ++j) {
    const std::uint64_t* row = table.row(j < split.split ? split.low_row : split.high_row);
    if ((row[j / 64] >> (j % 64) & 1) != 0) taken.push_back(table.u[j]);
  }
  return taken;
}

TEST(PairTable, EachClassTakesExactlyTheCandidatesThatPassBothDraws) {
  std::mt19937 random(23);
  int pairs_of_blocks = 0;
  int pairs_of_tests = 0;
  for (int trial = 0; trial < 80; ++trial) {
    const int count = 4 + static_cast<int>(random() % 97);
    const unsigned spread = 1 + random() % (trial % 2 == 0 ? 4 : 60);
    const auto plan = plan_of(random_values(random, static_cast<std::size_t>(count), spread, -3));
    if (!plan->pair.used) continue;
    const shufflesort::DrawPair& pair = plan->pair;
    (pair.block >= 0 ? pairs_of_blocks : pairs_of_tests) += 1;
    auto table = std::make_unique<shufflesort::PairTable>();
    shufflesort::make_pair_table(*plan, *table);
    ClassFrame frame(random(), *plan, pair.lead_draw);
    auto draws = std::make_unique<ClassDraws>();
    frame.fill_constants(*draws);
    frame.enter(random() % frame.classes(), *draws);
    const shufflesort::PairSplit split =
        shufflesort::split_for(*table, draws->offsets[pair.second_draw] & 0xFFFF);
    std::vector<std::uint16_t> taken = taken_by_rows(*table, split);
    std::sort(taken.begin(), taken.end());
    std::vector<std::uint16_t> expected;
    for (std::uint32_t u = 0; u < shufflesort::CLASS_SIZE; ++u) {
      const bool passes = pair.block >= 0
                              ? block_pair_passes(plan->blocks[pair.block], *draws, u)
                              : test_passes(plan->tests[pair.lead_test], *draws, u) &&
                                    test_passes(plan->tests[pair.second_test], *draws, u);
      if (passes) expected.push_back(static_cast<std::uint16_t>(u));
    }
    ASSERT_EQ(taken, expected) << count << " values of " << spread << " kinds";
  }
  EXPECT_GT(pairs_of_blocks, 10);
  EXPECT_GT(pairs_of_tests, 10);
}

// For two fixed tests, the two runs of the table's lists that a class
// copies are the entries its rows pass, in the same order, wherever the
// class splits them: at either end, at a word's edge, or anywhere.
TEST(PairTable, ListsOfTwoTestsHoldWhatTheRowsPass) {
  std::mt19937 random(29);
  int tables = 0;
  for (int trial = 0; trial < 200 && tables < 40; ++trial) {
    const int count = 3 + static_cast<int>(random() % 98);
    const unsigned spread = 1 + random() % 60;
    const auto plan = plan_of(random_values(random, static_cast<std::size_t>(count), spread, -3));
    if (!plan->pair.used || plan->pair.block >= 0) continue;
    ++tables;
    auto table = std::make_unique<shufflesort::PairTable>();
    shufflesort::make_pair_table(*plan, *table);
    // Offsets f below 2^15 split the entries where v reaches 2^15 - f.
    std::vector<std::uint32_t> offsets = {0, 1, shufflesort::CLASS_SIZE - 1};
    for (std::uint32_t edge : {std::uint32_t{64}, 64 * (table->entries / 64)}) {
      const auto v = std::lower_bound(table->rank.begin(), table->rank.end(), edge);
      if (v != table->rank.begin() && v != table->rank.end()) {
        offsets.push_back(shufflesort::CLASS_SIZE -
                          static_cast<std::uint32_t>(v - table->rank.begin()));
      }
    }
    for (int extra = 0; extra < 20; ++extra) offsets.push_back(random() % shufflesort::CLASS_SIZE);
    for (const std::uint32_t offset : offsets) {
      const shufflesort::PairSplit split = shufflesort::split_for(*table, offset);
      const shufflesort::PassingRuns runs = shufflesort::passing_runs(*table, split);
      std::vector<std::uint16_t> copied(runs.low, runs.low + runs.low_count);
      copied.insert(copied.end(), runs.high, runs.high + runs.high_count);
      ASSERT_EQ(copied, taken_by_rows(*table, split))
          << count << " values of " << spread << " kinds, offset " << offset;
    }
  }
  EXPECT_GE(tables, 40);
}

}  // namespace
