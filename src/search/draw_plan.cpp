// Building the draw plan: the blocks of the values and their fixed tests.
#include "search/draw_plan.h"

#include "search/stage_order.h"

namespace shufflesort {

namespace {

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
  std::uint32_t tracked = 0;
  for (std::uint32_t index = 0; index < pool.size && block.larger <= MAX_TRACKED; ++index) {
    if (!pool.values.has(index)) block.larger_indices[tracked++] = static_cast<std::uint8_t>(index);
  }
  choose_judge(block, 0);
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

void choose_judge(ScatteredBlock& block, std::uint32_t from) {
  block.tracked = block.larger <= MAX_TRACKED && tracking_pays(block, from);
  block.chunk = block.tracked ? tracked_chunk(block) : scattered_chunk(block);
}

void make_draw_plan(const Value* values, const Value* ascending, int count, DrawPlan& plan) {
  plan = DrawPlan{};
  plan.count = count;
  for (std::uint32_t divisor = 2; divisor <= MAX_VALUES; ++divisor) {
    plan.divisors[divisor] = make_divisor(divisor);
  }
  add_blocks(plan, values, ascending, count);
  choose_stages(plan);
}

}  // namespace shufflesort
