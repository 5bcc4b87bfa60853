// The order of judging a plan's tests and blocks that costs least, and
// whether a pair table pays, from a model of what each costs the lanes.
#include "search/stage_order.h"

#include <algorithm>

namespace shufflesort {

namespace {

// What the lanes spend on a group of 64 candidates, in cycles, measured on
// the widest kernel (Zen 4) by judging whole periods of files of zeros and
// 2 to 16 ones with either judge. Only the ratios matter: they choose each
// block's judge, the order of the stages and whether a pair table pays.
constexpr double INDEX_COST = 11;     // a draw's compacted index
constexpr double WINDOW_COST = 3;     // its window compare
constexpr double TRACKED_COST = 2.2;  // each larger value a tracked lane follows
constexpr double LOOKUP_COST = 1;     // a scattered draw's look-up of its entry
constexpr double CARRIED_COST = 3.1;  // each earlier draw a scattered lane carries
constexpr double ENTRY_COST = 12;     // a pair table's entries taken out for a class

// The share of a pair table's entries that must pass its second draw for
// fixed tests to judge the entries as the table hands them out
// (compact_pairs_first). Measured on Zen 4, AVX-512: files of zeros and 14
// to 39 ones that pass 60 to 87 % gain 8 to 18 %; three kinds, with 33 %,
// gain nothing, and 13 distinct values, with 8 %, take half as long again.
constexpr double TABLE_ENTRIES_SHARE = 0.5;

// A stage's cost for a candidate that reaches it, and its pass chance.
struct Judging {
  double cost = 0;
  double pass_chance = 1;
};

// Judging `block` from its draw `from` on, tracked or scattered: a tracked
// draw costs each larger value, a scattered one each earlier draw.
Judging block_judging(const ScatteredBlock& block, std::uint32_t from, bool tracked) {
  Judging judging;
  const std::uint32_t depth = tracked ? block.copies : std::min(block.copies, MAX_DEPTH);
  for (std::uint32_t q = from; q < depth; ++q) {
    const double draw_cost = tracked ? TRACKED_COST * block.larger : CARRIED_COST * q + LOOKUP_COST;
    judging.cost += judging.pass_chance * (INDEX_COST + draw_cost);
    judging.pass_chance *= double(block.copies - q) / (block.pool_size - q);
  }
  return judging;
}

Judging block_judging(const ScatteredBlock& block, std::uint32_t from) {
  return block_judging(block, from, block.tracked);
}

Judging judging_of(const DrawPlan& plan, const Stage& stage) {
  if (stage.block >= 0) return block_judging(plan.blocks[stage.block], stage.from);
  Judging judging;
  for (int t = 0; t < stage.test_count; ++t) {
    judging.cost += judging.pass_chance * (INDEX_COST + WINDOW_COST);
    judging.pass_chance *= plan.tests[stage.tests[t]].pass_chance;
  }
  return judging;
}

// Orders `stages` so that the expected cost is least: a stage of cost c
// that passes a share p goes before one of cost c' and share p' when
// c / (1 - p) < c' / (1 - p'). Fixed tests stand one to a stage here.
void order_stages(const DrawPlan& plan, StageList& list) {
  std::stable_sort(list.stages, list.stages + list.count, [&](const Stage& a, const Stage& b) {
    const Judging x = judging_of(plan, a);
    const Judging y = judging_of(plan, b);
    return x.cost * (1 - y.pass_chance) < y.cost * (1 - x.pass_chance);
  });
}

// Joins runs of fixed tests into stages of up to MAX_STAGE_TESTS, each
// stopping once about STAGE_CHANCE of its candidates is left, and adds up
// the expected cost.
void group_windows(const DrawPlan& plan, StageList& list) {
  StageList grouped;
  double reached = 1;
  for (int s = 0; s < list.count; ++s) {
    const Stage& stage = list.stages[s];
    Stage* last = grouped.count > 0 ? &grouped.stages[grouped.count - 1] : nullptr;
    const bool joins = stage.block < 0 && last != nullptr && last->block < 0 &&
                       last->keeps == stage.keeps && last->test_count < MAX_STAGE_TESTS &&
                       judging_of(plan, *last).pass_chance > STAGE_CHANCE;
    if (joins) {
      last->tests[last->test_count++] = stage.tests[0];
    } else {
      grouped.stages[grouped.count++] = stage;
    }
    const Judging judging = judging_of(plan, stage);
    grouped.cost += reached * judging.cost;
    reached *= judging.pass_chance;
  }
  list = grouped;
}

// The stages for every fixed test and block, leaving out what `pair`
// judges: its tests, or its block's first two draws.
StageList stages_without(const DrawPlan& plan, const DrawPair& pair) {
  StageList list;
  for (int t = 0; t < plan.test_count; ++t) {
    if (plan.tests[t].block >= 0 || t == pair.lead_test || t == pair.second_test) continue;
    Stage& stage = list.stages[list.count++];
    stage.tests[0] = t;
    stage.test_count = 1;
  }
  for (int b = 0; b < plan.block_count; ++b) {
    Stage& stage = list.stages[list.count++];
    stage.block = b;
    stage.from = b == pair.block ? 2 : 0;
  }
  order_stages(plan, list);
  // The pair's block carries on before any other block: its lanes come
  // with the bytes of its first two draws, which only test stages keep.
  if (pair.block >= 0) {
    Stage* const first_block = std::find_if(list.stages, list.stages + list.count,
                                            [](const Stage& stage) { return stage.block >= 0; });
    Stage* const carried_on =
        std::find_if(list.stages, list.stages + list.count,
                     [&](const Stage& stage) { return stage.block == pair.block; });
    std::rotate(first_block, carried_on, carried_on + 1);
    for (Stage* stage = list.stages; stage != first_block; ++stage) stage->keeps = 2;
  }
  group_windows(plan, list);
  return list;
}

// The pair that passes the fewest attempts: two fixed tests, the rarer
// leading (its table is smaller), or a block's first two draws.
DrawPair rarest_pair(const DrawPlan& plan) {
  DrawPair best;
  const auto consider = [&](DrawPair pair) {
    if (!best.used || pair.pass_chance < best.pass_chance) best = pair;
  };
  for (int a = 0; a < plan.test_count; ++a) {
    for (int b = 0; b < plan.test_count; ++b) {
      const FixedTest& lead = plan.tests[a];
      const FixedTest& second = plan.tests[b];
      if (a == b || lead.pass_chance > second.pass_chance ||
          (lead.pass_chance == second.pass_chance && a > b)) {
        continue;
      }
      consider({true, lead.draw, second.draw, a, b, -1, lead.pass_chance * second.pass_chance});
    }
  }
  for (int t = 0; t < plan.test_count; ++t) {
    const int b = plan.tests[t].block;
    if (b < 0) continue;
    const ScatteredBlock& block = plan.blocks[b];
    const double chance = double(block.copies) * (block.copies - 1) /
                          (double(block.pool_size) * (block.pool_size - 1));
    consider({true, block.first_draw, block.first_draw + 1, t, -1, b, chance});
  }
  return best;
}

// Puts first in `list`, the stages after `pair`, a stage that only
// compacts the table's survivors, with the bytes they carry; unless the
// first stage is fixed tests, which cost a lane about what compacting it
// does, and most of the table's entries survive, so that few lanes are
// judged in vain: then one compaction serves the table and the tests.
void compact_pairs_first(const DrawPlan& plan, const DrawPair& pair, StageList& list) {
  const double entries_passing = pair.pass_chance / plan.tests[pair.lead_test].pass_chance;
  const bool tests_first = list.count > 0 && list.stages[0].block < 0;
  // (A plan has fewer stages than values. Were the list full, a first block
  // would be left to the exact check of the survivors: slow, but exact.)
  if ((tests_first && entries_passing >= TABLE_ENTRIES_SHARE) || list.count == MAX_VALUES) return;
  std::copy_backward(list.stages, list.stages + list.count, list.stages + list.count + 1);
  list.stages[0] = Stage{};
  list.stages[0].keeps = pair.block >= 0 ? 2 : 0;
  ++list.count;
}

}  // namespace

bool tracking_pays(const ScatteredBlock& block, std::uint32_t from) {
  return block_judging(block, from, true).cost < block_judging(block, from, false).cost;
}

void choose_stages(DrawPlan& plan) {
  plan.all_stages = stages_without(plan, DrawPair{});
  plan.cost_without_pair = plan.all_stages.cost;
  const DrawPair pair = rarest_pair(plan);
  if (!pair.used) return;
  // A block whose first two draws the table judges is judged on from its
  // third, where following its larger values may cost less than carrying
  // the earlier draws even when it did not from the first, or more.
  if (pair.block >= 0) choose_judge(plan.blocks[pair.block], 2);
  StageList after_pair = stages_without(plan, pair);
  const double cost =
      plan.tests[pair.lead_test].pass_chance * ENTRY_COST + pair.pass_chance * after_pair.cost;
  if (cost >= plan.cost_without_pair) {
    if (pair.block >= 0) choose_judge(plan.blocks[pair.block], 0);
    return;
  }
  if (pair.block >= 0) {
    // The ranges before the table judge that block the same way.
    plan.all_stages = stages_without(plan, DrawPair{});
    plan.cost_without_pair = plan.all_stages.cost;
  }
  plan.pair = pair;
  compact_pairs_first(plan, pair, after_pair);
  plan.after_pair = after_pair;
  plan.cost_with_pair = cost;
}

}  // namespace shufflesort
