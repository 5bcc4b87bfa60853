// Building the draw plan: blocks, their tests, the pair, and the order of
// judging that costs least.
#include "search/draw_plan.h"

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

// A block's first pool: which of its compacted indices hold the block's
// value, given that every smaller value has been drawn.
struct FirstPool {
  std::uint32_t size = 0;
  std::uint32_t first_index = 0;  // of the block's value
  std::uint32_t last_index = 0;
  IndexSet values;
};

FirstPool first_pool(const Value* values, int count, Value value) {
  FirstPool pool;
  bool seen = false;
  for (int p = 0; p < count; ++p) {
    if (values[p] < value) continue;
    if (values[p] == value) {
      pool.values.add(pool.size);
      if (!seen) pool.first_index = pool.size;
      pool.last_index = pool.size;
      seen = true;
    }
    ++pool.size;
  }
  return pool;
}

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

void add_test(DrawPlan& plan, std::uint32_t draw, std::uint32_t pool_size, const IndexSet& allowed,
              std::uint32_t allowed_count, int block) {
  FixedTest& test = plan.tests[plan.test_count++];
  test.draw = draw;
  test.pool_size = pool_size;
  test.allowed = allowed;
  test.block = block;
  test.pass_chance = double(allowed_count) / pool_size;
}

void add_window(DrawPlan& plan, std::uint32_t draw, std::uint32_t pool_size, std::uint32_t low,
                std::uint32_t width) {
  IndexSet window;
  for (std::uint32_t index = low; index < low + width; ++index) window.add(index);
  add_test(plan, draw, pool_size, window, width, -1);
}

// The last draw of a scattered block: the gaps between the larger values
// of its first pool that hold a copy, numbered by the larger values before
// them. A test only when some gap holds none.
void add_last_draw(DrawPlan& plan, const ScatteredBlock& block) {
  IndexSet gaps;
  std::uint32_t gap = 0;
  std::uint32_t held = 0;
  for (std::uint32_t index = 0; index < block.pool_size; ++index) {
    if (!block.values.has(index)) {
      ++gap;
    } else if (!gaps.has(gap)) {
      gaps.add(gap);
      ++held;
    }
  }
  if (held <= block.larger) {
    add_test(plan, block.first_draw + block.copies - 1, block.larger + 1, gaps, held, -1);
  }
}

// A tracked block's draws are judged until about half the candidates are
// left (most draws pass, each a little less often), between 3 and 12 at a
// time: compacting costs about a draw. A scattered block's, whose lanes
// die sooner and carry more, until about 0.3 are left, and at least two.
constexpr double TRACKED_CHUNK_SURVIVAL = 0.5;
constexpr std::uint32_t TRACKED_CHUNK_LEAST = 3;
constexpr std::uint32_t TRACKED_CHUNK_MOST = 12;
constexpr double SCATTERED_CHUNK_SURVIVAL = 0.3;
constexpr std::uint32_t SCATTERED_CHUNK_LEAST = 2;

// The least chunk from `least` on whose draws pass, each about as often as
// the block's first, no more than `survival` of the candidates.
std::uint32_t chunk_for(const ScatteredBlock& block, double survival, std::uint32_t least,
                        std::uint32_t most) {
  const double chance = double(block.copies) / double(block.pool_size);
  std::uint32_t chunk = least;
  double left = 1;
  for (std::uint32_t q = 0; q < least; ++q) left *= chance;
  for (; left > survival && chunk < most; left *= chance) ++chunk;
  return chunk;
}

std::uint32_t tracked_chunk(const ScatteredBlock& block) {
  return chunk_for(block, TRACKED_CHUNK_SURVIVAL, TRACKED_CHUNK_LEAST, TRACKED_CHUNK_MOST);
}

std::uint32_t scattered_chunk(const ScatteredBlock& block) {
  return chunk_for(block, SCATTERED_CHUNK_SURVIVAL, SCATTERED_CHUNK_LEAST, MAX_DEPTH);
}

void add_scattered(DrawPlan& plan, const FirstPool& pool, std::uint32_t first_draw,
                   std::uint32_t copies) {
  ScatteredBlock& block = plan.blocks[plan.block_count];
  block.first_draw = first_draw;
  block.copies = copies;
  block.pool_size = pool.size;
  block.values = pool.values;
  block.larger = pool.size - copies;
  block.tracked = block.larger <= MAX_TRACKED &&
                  block_judging(block, 0, true).cost < block_judging(block, 0, false).cost;
  std::uint32_t tracked = 0;
  for (std::uint32_t index = 0; index < pool.size && block.larger <= MAX_TRACKED; ++index) {
    if (!pool.values.has(index)) block.larger_indices[tracked++] = static_cast<std::uint8_t>(index);
  }
  block.chunk = block.tracked ? tracked_chunk(block) : scattered_chunk(block);
  add_test(plan, first_draw, pool.size, pool.values, copies, plan.block_count++);
  add_last_draw(plan, block);
}

// The blocks of the values from smallest to largest. The largest value's
// block always passes: its pool holds nothing else.
void add_blocks(DrawPlan& plan, const Value* values, const Value* ascending, int count) {
  for (int first = 0; first < count;) {
    const Value value = ascending[first];
    int end = first;
    while (end < count && ascending[end] == value) ++end;
    const auto copies = static_cast<std::uint32_t>(end - first);
    const FirstPool pool = first_pool(values, count, value);
    if (pool.size > copies) {
      const auto draw = static_cast<std::uint32_t>(first);
      if (pool.last_index - pool.first_index + 1 == copies) {
        for (std::uint32_t q = 0; q < copies; ++q) {
          add_window(plan, draw + q, pool.size - q, pool.first_index, copies - q);
        }
      } else {
        add_scattered(plan, pool, draw, copies);
      }
    }
    first = end;
  }
  for (int b = 0; b < plan.block_count; ++b) {
    ScatteredBlock& block = plan.blocks[b];
    for (std::uint32_t q = 0; q < block.copies; ++q) {
      block.pass_chance *= double(block.copies - q) / (block.pool_size - q);
    }
  }
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
    if (b < 0 || plan.blocks[b].tracked) continue;
    const ScatteredBlock& block = plan.blocks[b];
    const double chance = double(block.copies) * (block.copies - 1) /
                          (double(block.pool_size) * (block.pool_size - 1));
    consider({true, block.first_draw, block.first_draw + 1, t, -1, b, chance});
  }
  return best;
}

}  // namespace

Divisor make_divisor(std::uint32_t divisor) {
  std::uint32_t shift = 0;
  while ((2u << shift) < divisor) ++shift;  // ceil(log2 divisor) - 1
  Divisor by;
  by.divisor = static_cast<std::uint16_t>(divisor);
  by.shift = static_cast<std::uint16_t>(shift);
  by.magic =
      static_cast<std::uint16_t>(((std::uint32_t{1} << (16 + shift)) + divisor - 1) / divisor);
  return by;
}

void make_draw_plan(const Value* values, const Value* ascending, int count, DrawPlan& plan) {
  plan = DrawPlan{};
  plan.count = count;
  for (std::uint32_t divisor = 2; divisor <= MAX_VALUES; ++divisor) {
    plan.divisors[divisor] = make_divisor(divisor);
  }
  add_blocks(plan, values, ascending, count);
  plan.all_stages = stages_without(plan, DrawPair{});
  plan.cost_without_pair = plan.all_stages.cost;
  const DrawPair pair = rarest_pair(plan);
  if (!pair.used) return;
  const StageList after_pair = stages_without(plan, pair);
  const double cost =
      plan.tests[pair.lead_test].pass_chance * ENTRY_COST + pair.pass_chance * after_pair.cost;
  if (cost >= plan.cost_without_pair) return;
  plan.pair = pair;
  plan.after_pair = after_pair;
  plan.cost_with_pair = cost;
}

}  // namespace shufflesort
