// The judges of every kernel held to the literal draws: for random files,
// each stage alone must keep exactly the candidates of a class whose draws
// pass it (window tests; a tracked or scattered block drawn from its first
// pool), whether the candidates come from a range of the class or from a
// pair table that leaves a block half judged.
#include "search/judges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "random_values.h"
#include "search/context.h"
#include "search/search.h"

using shufflesort::ClassDraws;
using shufflesort::DrawPlan;
using shufflesort::Kernel;
using shufflesort::Stage;
using shufflesort::Value;

namespace {

std::uint32_t index_of(const ClassDraws& draws, std::uint32_t draw, std::uint32_t pool,
                       std::uint32_t u) {
  return ((u * draws.multipliers[draw] + draws.offsets[draw]) & shufflesort::LCG_OUTPUT_MASK) %
         pool;
}

// Whether candidate u passes `stage`, literally: each window test's index
// in its window, or each of the block's draws judged in lanes taking the
// block's value from its first pool.
bool stage_passes(const DrawPlan& plan, const Stage& stage, const ClassDraws& draws,
                  std::uint32_t u) {
  if (stage.block < 0) {
    for (int t = 0; t < stage.test_count; ++t) {
      const shufflesort::FixedTest& test = plan.tests[stage.tests[t]];
      if (!test.allowed.has(index_of(draws, test.draw, test.pool_size, u))) return false;
    }
    return true;
  }
  const shufflesort::ScatteredBlock& block = plan.blocks[stage.block];
  std::vector<bool> holds(block.pool_size);
  for (std::uint32_t e = 0; e < block.pool_size; ++e) holds[e] = block.values.has(e);
  const std::uint32_t depth =
      block.tracked ? block.copies : std::min(block.copies, shufflesort::MAX_DEPTH);
  for (std::uint32_t q = 0; q < depth; ++q) {
    const std::size_t idx =
        index_of(draws, block.first_draw + q, static_cast<std::uint32_t>(holds.size()), u);
    if (!holds[idx]) return false;
    holds.erase(holds.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return true;
}

// The candidates of a class that pass `stage`, literally, in order of u.
std::vector<std::uint16_t> literal_survivors(const DrawPlan& plan, const Stage& stage,
                                             const ClassDraws& draws) {
  std::vector<std::uint16_t> kept;
  for (std::uint32_t u = 0; u < shufflesort::CLASS_SIZE; ++u) {
    if (stage_passes(plan, stage, draws, u)) kept.push_back(static_cast<std::uint16_t>(u));
  }
  return kept;
}

// Every kernel this CPU runs, and the portable one as plain SSE2 compiles
// it on x86.
std::vector<std::pair<std::string, shufflesort::KernelFunctions>> all_kernels() {
  const std::vector<Kernel> supported = shufflesort::supported_kernels();
  std::vector<std::pair<std::string, shufflesort::KernelFunctions>> kernels(supported.size());
  std::transform(supported.begin(), supported.end(), kernels.begin(), [](Kernel kernel) {
    return std::make_pair(shufflesort::kernel_name(kernel), shufflesort::kernel_functions(kernel));
  });
  kernels.emplace_back("baseline", shufflesort::baseline_functions());
  return kernels;
}

// A search context over `values` whose lanes are the given kernel's.
std::unique_ptr<shufflesort::SearchContext> context_for(
    const std::vector<Value>& values, std::uint32_t seed,
    const shufflesort::KernelFunctions& functions) {
  auto context = std::make_unique<shufflesort::SearchContext>(
      seed, values.data(), static_cast<int>(values.size()), Kernel::portable);
  context->kernel = functions;
  return context;
}

std::vector<std::uint16_t> sorted(const std::uint16_t* list, std::uint32_t count) {
  std::vector<std::uint16_t> values(list, list + count);
  std::sort(values.begin(), values.end());
  return values;
}

// The candidates k = first .. first+count-1 of `frame`'s class that pass
// `stage`: as the literal draws keep them, and as the kernel's range judge
// keeps them, each sorted.
struct Judged {
  std::vector<std::uint16_t> expected;
  std::vector<std::uint16_t> kept;
};

Judged judge_range_of(shufflesort::SearchContext& search, const shufflesort::ClassFrame& frame,
                      const Stage& stage, std::uint32_t first, std::uint32_t count) {
  Judged judged;
  for (std::uint32_t k = first; k < first + count; ++k) {
    const auto u = static_cast<std::uint16_t>(frame.candidate(k));
    if (stage_passes(*search.plan, stage, *search.draws, u)) judged.expected.push_back(u);
  }
  std::sort(judged.expected.begin(), judged.expected.end());
  shufflesort::StageList one;
  one.stages[0] = stage;
  one.count = 1;
  const std::uint32_t passed =
      search.kernel.judge_range(*search.plan, one, *search.draws, frame.candidate(first),
                                frame.candidate_step(), count, search.lists);
  judged.kept = sorted(search.lists.now().u, passed);
  return judged;
}

// Files that bring every kind of stage with survivors: a few kinds at
// random, half of them short; or a few copies of the smallest value among
// many larger ones (a scattered block that some candidates pass); or
// almost all of one value (tracked blocks).
std::vector<Value> some_file(std::mt19937& random) {
  const auto count = static_cast<std::size_t>(3 + random() % (random() % 2 == 0 ? 18 : 98));
  switch (random() % 3) {
    case 0:
      return random_values(random, count, 1 + random() % 6, 0);
    case 1: {
      std::vector<Value> values = random_values(random, 19 + random() % 20, 3, 1);
      const auto smallest = static_cast<std::ptrdiff_t>(2 + random() % 3);
      std::fill(values.begin(), values.begin() + smallest, 0);
      std::shuffle(values.begin(), values.end(), random);
      return values;
    }
    default:
      break;
  }
  std::vector<Value> values(count, 0);
  const std::size_t larger = 1 + random() % std::min<std::size_t>(count - 1, 24);
  for (std::size_t i = 0; i < larger; ++i) values[i] = 1 + static_cast<Value>(random() % 3);
  std::shuffle(values.begin(), values.end(), random);
  return values;
}

TEST(Judges, EachStageKeepsExactlyTheCandidatesThatPassIt) {
  std::mt19937 random(31);
  int judged[3] = {};  // windows, tracked blocks, scattered blocks with survivors
  for (int trial = 0; trial < 120; ++trial) {
    const std::vector<Value> values = some_file(random);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      const DrawPlan& plan = *search.plan;
      shufflesort::ClassFrame frame(search.seed, plan, 0);
      frame.fill_constants(*search.draws);
      frame.enter(random() % frame.classes(), *search.draws);
      for (int s = 0; s < plan.all_stages.count; ++s) {
        const Stage& stage = plan.all_stages.stages[s];
        const std::uint32_t first = random() % shufflesort::CLASS_SIZE;
        const std::uint32_t count = 1 + random() % shufflesort::CLASS_SIZE;
        const Judged judged_range = judge_range_of(search, frame, stage, first, count);
        ASSERT_EQ(judged_range.kept, judged_range.expected)
            << kernel << " kernel, stage " << s << " of " << values.size() << " values";
        const int block = stage.block;
        if (!judged_range.expected.empty()) {
          ++judged[block < 0 ? 0 : plan.blocks[block].tracked ? 1 : 2];
        }
      }
    }
  }
  EXPECT_GT(judged[0], 20);
  EXPECT_GT(judged[1], 10);
  EXPECT_GT(judged[2], 20);
}

// `count` values: `larger` of them from 1 to `kinds`, the rest zeros, shuffled.
std::vector<Value> zeros_and_larger(std::mt19937& random, std::size_t count, std::size_t larger,
                                    std::uint32_t kinds) {
  std::vector<Value> values(count, 0);
  for (std::size_t i = 0; i < larger; ++i) values[i] = 1 + static_cast<Value>(random() % kinds);
  std::shuffle(values.begin(), values.end(), random);
  return values;
}

// A scattered block whose candidates pass more draws than its lanes keep
// in registers (16): files of 17 to 40 zeros and two to four larger
// values, the zeros' block judged scattered (the plan would track it), in
// chunks of every length, so that chunks end before, at and past the
// registers' end, and many candidates pass the whole block.
TEST(Judges, ScatteredBlockPastTheRegisters) {
  std::mt19937 random(41);
  int survivors = 0;
  for (int trial = 0; trial < 24; ++trial) {
    const std::size_t count = 17 + random() % 24;
    const std::size_t larger = 2 + random() % 3;
    const std::vector<Value> values = zeros_and_larger(random, count, larger, 2);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      DrawPlan& plan = *search.plan;
      if (plan.block_count == 0) break;  // the zeros stand together
      shufflesort::ScatteredBlock& zeros = plan.blocks[0];
      ASSERT_EQ(zeros.copies, values.size() - larger);
      zeros.tracked = false;
      zeros.chunk = 1 + static_cast<std::uint32_t>(trial) % 20;
      Stage zeros_stage;
      zeros_stage.block = 0;
      shufflesort::ClassFrame frame(search.seed, plan, 0);
      frame.fill_constants(*search.draws);
      frame.enter(random() % frame.classes(), *search.draws);
      const Judged judged = judge_range_of(search, frame, zeros_stage, 0, shufflesort::CLASS_SIZE);
      ASSERT_EQ(judged.kept, judged.expected)
          << kernel << " kernel, " << values.size() << " values, chunk " << zeros.chunk;
      survivors += static_cast<int>(judged.expected.size());
    }
  }
  EXPECT_GT(survivors, 1000);
}

// The plan's pair table, and class `c` entered with its split, for
// judging a class's pair survivors.
struct PairClass {
  std::unique_ptr<shufflesort::PairTable> table = std::make_unique<shufflesort::PairTable>();
  shufflesort::ClassFrame frame;
  shufflesort::PairSplit split;

  PairClass(shufflesort::SearchContext& search, std::uint32_t c)
      : frame(search.seed, *search.plan, search.plan->pair.lead_draw) {
    shufflesort::make_pair_table(*search.plan, *table);
    frame.fill_constants(*search.draws);
    frame.enter(c, *search.draws);
    split = shufflesort::split_for(*table,
                                   search.draws->offsets[search.plan->pair.second_draw] & 0xFFFF);
  }
};

// The stages a pair table's block is carried on by, as the plan puts
// them: a compaction that keeps the block's two bytes, then the block's
// stage (none when the pair is two fixed tests).
shufflesort::StageList compaction_then_block(const DrawPlan& plan) {
  shufflesort::StageList list;
  list.stages[list.count++].keeps = 2;
  for (int s = 0; s < plan.after_pair.count; ++s) {
    if (plan.after_pair.stages[s].block == plan.pair.block && plan.pair.block >= 0) {
      list.stages[list.count++] = plan.after_pair.stages[s];
    }
  }
  return list;
}

// A pair table that judges a block's first two draws hands the block's
// judge the bytes of those draws: together they keep exactly the
// candidates whose whole block passes.
TEST(Judges, BlockJudgedOnFromAPairTable) {
  std::mt19937 random(37);
  int survivors = 0;
  int blocks = 0;
  for (int trial = 0; trial < 400 && blocks < 40; ++trial) {
    const std::vector<Value> values = some_file(random);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      const DrawPlan& plan = *search.plan;
      if (!plan.pair.used || plan.pair.block < 0) break;
      ++blocks;
      const PairClass pair(search, random() % shufflesort::class_count(plan.count));
      const shufflesort::PairTable& table = *pair.table;
      const shufflesort::ClassFrame& frame = pair.frame;
      const shufflesort::PairSplit& split = pair.split;
      const shufflesort::StageList one = compaction_then_block(plan);
      Stage whole = one.stages[1];
      whole.from = 0;
      const std::vector<std::uint16_t> expected = literal_survivors(plan, whole, *search.draws);
      const std::uint32_t passed = search.kernel.judge_pairs(
          plan, one, *search.draws, table, split, frame.candidates_from(0), search.lists);
      ASSERT_EQ(sorted(search.lists.now().u, passed), expected)
          << kernel << " kernel, " << values.size() << " values";
      survivors += static_cast<int>(expected.size());
    }
  }
  EXPECT_GE(blocks, 40);
  EXPECT_GT(survivors, 100);
}

// Files of zeros with 1 to 16 larger values, whose block is tracked: a
// pair table judges its first two draws, and the tracked judge sets the
// larger values' positions from the two bytes it hands on. Cut to a few
// draws, so that many candidates pass, and judged a chunk of draws at a
// time, the two keep exactly the candidates whose draws pass the block.
TEST(Judges, TrackedBlockCarriedOnFromAPairTable) {
  std::mt19937 random(47);
  std::size_t survivors = 0;
  int blocks = 0;
  for (std::uint32_t trial = 0; trial < 48; ++trial) {
    const std::size_t larger = 1 + trial % shufflesort::MAX_TRACKED;
    const std::vector<Value> values =
        zeros_and_larger(random, larger + 4 + random() % 80, larger, 3);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      DrawPlan& plan = *search.plan;
      const bool together = plan.block_count == 0 || plan.blocks[0].first_draw != 0;
      if (together || plan.blocks[0].larger != larger) break;
      shufflesort::ScatteredBlock& zeros = plan.blocks[0];
      zeros.tracked = true;
      zeros.copies = std::min<std::uint32_t>(zeros.copies, 3 + random() % 6);
      zeros.chunk = 1 + random() % 4;
      const auto lead = std::find_if(plan.tests, plan.tests + plan.test_count,
                                     [](const auto& test) { return test.block == 0; });
      plan.pair = {true, 0, 1, static_cast<int>(lead - plan.tests), -1, 0, 1};
      shufflesort::StageList stages;  // a compaction, then the block from its third draw
      stages.stages[0].keeps = 2;
      stages.stages[1].block = 0;
      stages.stages[1].from = 2;
      stages.count = 2;
      const PairClass pair(search, random() % shufflesort::class_count(plan.count));
      Stage whole;
      whole.block = 0;
      const std::vector<std::uint16_t> expected = literal_survivors(plan, whole, *search.draws);
      const std::uint32_t passed =
          search.kernel.judge_pairs(plan, stages, *search.draws, *pair.table, pair.split,
                                    pair.frame.candidates_from(0), search.lists);
      ASSERT_EQ(sorted(search.lists.now().u, passed), expected)
          << kernel << " kernel, " << values.size() << " values, " << larger << " larger";
      survivors += expected.size();
      ++blocks;
    }
  }
  EXPECT_GE(blocks, 40);
  EXPECT_GT(survivors, 10000u);
}

// A pair table of two fixed tests with no stage after it hands on exactly
// the candidates of a class that pass both draws, packed straight from the
// table's rows, wherever the class splits them.
TEST(Judges, PairTableOfTwoTestsKeepsWhatBothDrawsPass) {
  std::mt19937 random(53);
  int tables = 0;
  std::size_t survivors = 0;
  for (int trial = 0; trial < 400 && tables < 60; ++trial) {
    const std::vector<Value> values = some_file(random);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      const DrawPlan& plan = *search.plan;
      if (!plan.pair.used || plan.pair.block >= 0) break;
      ++tables;
      const PairClass pair(search, random() % shufflesort::class_count(plan.count));
      Stage both;
      both.tests[0] = plan.pair.lead_test;
      both.tests[1] = plan.pair.second_test;
      both.test_count = 2;
      const std::vector<std::uint16_t> expected = literal_survivors(plan, both, *search.draws);
      const shufflesort::StageList none;
      const std::uint32_t passed =
          search.kernel.judge_pairs(plan, none, *search.draws, *pair.table, pair.split,
                                    pair.frame.candidates_from(0), search.lists);
      ASSERT_EQ(sorted(search.lists.now().u, passed), expected)
          << kernel << " kernel, " << values.size() << " values";
      survivors += expected.size();
    }
  }
  EXPECT_GE(tables, 60);
  EXPECT_GT(survivors, 10000u);
}

// Leaving out the candidates numbered below k_from changes nothing else:
// the pair table's survivors, and those of the block it leaves half
// judged (whose bytes must stay with their candidates), are the ones kept
// without it less those numbered below k_from.
TEST(Judges, PairTableLeavesOutOnlyTheCandidatesBelowKFrom) {
  std::mt19937 random(41);
  int pairs = 0;
  std::size_t left_out = 0;
  for (int trial = 0; trial < 400 && pairs < 60; ++trial) {
    const std::vector<Value> values = some_file(random);
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      const DrawPlan& plan = *search.plan;
      if (!plan.pair.used) break;
      ++pairs;
      const PairClass pair(search, random() % shufflesort::class_count(plan.count));
      const shufflesort::PairTable& table = *pair.table;
      const shufflesort::ClassFrame& frame = pair.frame;
      const shufflesort::PairSplit& split = pair.split;
      const shufflesort::StageList none;
      const shufflesort::StageList block = compaction_then_block(plan);
      const std::uint32_t k_from = 1 + random() % (shufflesort::CLASS_SIZE - 1);
      for (const shufflesort::StageList* stages : {&none, &block}) {
        const auto kept_from = [&](std::uint32_t k) {
          const std::uint32_t passed = search.kernel.judge_pairs(
              plan, *stages, *search.draws, table, split, frame.candidates_from(k), search.lists);
          return sorted(search.lists.now().u, passed);
        };
        const std::vector<std::uint16_t> all = kept_from(0);
        std::vector<std::uint16_t> expected;
        std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
                     [&](std::uint16_t u) { return frame.k_of(u) >= k_from; });
        ASSERT_EQ(kept_from(k_from), expected)
            << kernel << " kernel, " << values.size() << " values, k from " << k_from;
        left_out += all.size() - expected.size();
      }
    }
  }
  EXPECT_GE(pairs, 60);
  EXPECT_GT(left_out, 10000u);
}

// Files of zeros with many ones among them, from an eighth to almost half:
// the zeros' first two draws make the pair table, and most of its entries
// pass both.
std::vector<Value> zeros_among_ones(std::mt19937& random) {
  const std::size_t count = 40 + random() % 60;
  std::vector<Value> values(count, 0);
  const std::size_t ones = count / 8 + random() % (count / 3);
  std::fill(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(ones), 1);
  std::shuffle(values.begin(), values.end(), random);
  return values;
}

// The pair table and the stages after it keep exactly the candidates of a
// class whose draws pass every stage of the plan, whether the stages take
// the table's survivors compacted or as the table hands them out. The
// blocks are cut to a few draws, so that many candidates pass them all.
TEST(Judges, PairTableAndItsStagesKeepWhatThePlanKeeps) {
  std::mt19937 random(43);
  int plans[2] = {};  // survivors compacted first, or taken as they come
  std::size_t survivors = 0;
  for (int trial = 0; trial < 400 && std::min(plans[0], plans[1]) < 20; ++trial) {
    const std::vector<Value> values = trial % 2 == 0 ? some_file(random) : zeros_among_ones(random);
    const std::uint32_t draws_kept = 3 + random() % 6;
    for (const auto& [kernel, functions] : all_kernels()) {
      const auto context = context_for(values, random(), functions);
      shufflesort::SearchContext& search = *context;
      DrawPlan& plan = *search.plan;
      if (!plan.pair.used) break;
      for (int b = 0; b < plan.block_count; ++b) {
        plan.blocks[b].copies = std::min(plan.blocks[b].copies, draws_kept);
      }
      ++plans[plan.after_pair.stages[0].only_compacts() ? 0 : 1];
      const PairClass pair(search, random() % shufflesort::class_count(plan.count));
      std::vector<std::uint16_t> expected;
      for (std::uint32_t u = 0; u < shufflesort::CLASS_SIZE; ++u) {
        const Stage* const stages = plan.all_stages.stages;
        if (std::all_of(stages, stages + plan.all_stages.count, [&](const Stage& stage) {
              return stage_passes(plan, stage, *search.draws, u);
            })) {
          expected.push_back(static_cast<std::uint16_t>(u));
        }
      }
      const std::uint32_t passed =
          search.kernel.judge_pairs(plan, plan.after_pair, *search.draws, *pair.table, pair.split,
                                    pair.frame.candidates_from(0), search.lists);
      ASSERT_EQ(sorted(search.lists.now().u, passed), expected)
          << kernel << " kernel, " << values.size() << " values";
      survivors += expected.size();
    }
  }
  EXPECT_GE(plans[0], 20);
  EXPECT_GE(plans[1], 20);
  EXPECT_GT(survivors, 10000u);
}

}  // namespace
