// The class search that judges one block whole per residue class, for
// inputs where the anchor alone rejects too few attempts: the first draw
// of a tracked block (a file almost all of one value, where nearly every
// attempt passes it) or a test that most attempts pass (two values half
// and half). Instead of making candidates from the anchor, each class
// judges all its candidates on the draws of the block the plan chose
// (class_block) in 16-bit and 8-bit lanes (class_lanes.h); the few that
// survive go on to the other stages in 32-bit lanes and the exact check.
//
// The class's candidates k are judged in ranges of k growing fourfold, all
// classes per range: attempt k * W + r grows with k, so the first range
// that holds an ordered attempt holds the first one, and an answer costs
// about what reaching it costs.
#include <algorithm>

#include "search/context.h"
#include "shuffle.h"

namespace shufflesort {

namespace {

// Results are 15 bits: a class has 2^15 candidates.
constexpr std::uint32_t CLASS_SIZE = LCG_OUTPUT_MASK + 1;
// How much each range of k is wider than the one before.
constexpr std::uint32_t RANGE_GROWTH = 4;

}  // namespace

void fill_block_class(const DrawPlan& plan, const ScatteredBlock& block, std::uint32_t state,
                      std::uint32_t d, BlockClass& run) {
  const AffineMap to_block = generator_steps(block.first_draw);
  std::uint32_t draw_state = to_block(state);
  std::uint32_t step = to_block.multiplier * d;
  for (std::uint32_t q = 0; q < block.copies; ++q) {
    const Remainder& by = plan.remainders[block.pool_size - q];
    run.draws[q] = {twice(generator_output(draw_state)), twice(step & LCG_OUTPUT_MASK),
                    twice(by.magic), by.shift - 16, twice(by.divisor)};
    draw_state = draw_state * LCG_MULTIPLIER + LCG_INCREMENT;
    step *= LCG_MULTIPLIER;
  }
}

bool judged_by_block_classes(const DrawPlan& plan) { return plan.class_block >= 0; }

std::optional<std::uint64_t> search_block_classes(SearchContext& search, std::uint64_t known,
                                                  std::uint64_t limit) {
  limit = std::min(limit, attempt_period(search.count));
  const KernelFunctions& kernel = search.kernel;
  const DrawPlan& plan = *search.plan;
  const ScatteredBlock& block = plan.blocks[plan.class_block];
  const Candidates list = search.candidates();
  const ClassLists survivors = search.class_lists();
  const std::uint64_t classes = attempt_period(search.count) / CLASS_SIZE;  // W
  std::uint32_t class_shift = 0;
  while ((std::uint64_t{1} << class_shift) < classes) ++class_shift;
  const AffineMap first_draw = generator_steps(1);
  const AffineMap next_attempt = generator_steps(static_cast<std::uint64_t>(search.count));
  const AffineMap next_in_class =
      generator_steps(classes * static_cast<std::uint64_t>(search.count));
  const auto k_limit = static_cast<std::uint32_t>((limit + classes - 1) / classes);
  std::uint64_t best = limit;
  std::uint32_t found = 0;
  const auto judge_gathered = [&] {
    const std::uint32_t passed =
        kernel.later_stages(plan, plan.block_class_stages_first, plan.stage_count, list, found);
    for (std::uint32_t f = 0; f < passed; ++f) {
      if (list.tags[f] < best && search.comes_out_in_order(list.states[f])) best = list.tags[f];
    }
    found = 0;
  };
  auto run = std::make_unique<BlockClass>();
  run->k_first = static_cast<std::uint32_t>(known / classes);
  for (; run->k_first < k_limit && best == limit; run->k_first = run->k_end) {
    run->k_end = std::min(k_limit, std::max(run->k_first * RANGE_GROWTH, run->k_first + 1));
    std::uint32_t state = first_draw(search.seed);
    for (std::uint32_t r = 0; r < classes; ++r, state = next_attempt(state)) {
      const std::uint32_t d = (next_in_class(state) - state) >> 16;
      fill_block_class(plan, block, state, d, *run);
      const std::uint32_t survived = kernel.block_of_class(block, *run, survivors);
      for (std::uint32_t s = 0; s < survived; ++s, ++found) {
        const std::uint32_t k = survivors.k[s];
        list.states[found] = state + ((k * d) << 16);
        list.tags[found] = (k << class_shift) | r;
      }
      if (found >= BATCH) judge_gathered();
    }
    judge_gathered();
  }
  return best < limit ? std::optional<std::uint64_t>(best) : std::nullopt;
}

}  // namespace shufflesort
