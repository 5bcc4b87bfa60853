// The class search: only the attempts that pass the rarest test are made.
//
// Write the state after an attempt's first draw as u = 2^16 h + l. With
// n = count = 2^v * odd, the low half l repeats every W = 2^(16-v)
// attempts, and W attempts later h has moved by an odd step d that depends
// only on l. So attempts j = r + k W (k < 2^15) form a residue class in
// which the result of draw i is (h_i + k a^i d) mod 2^15, a being the
// generator's multiplier. The anchor (the rarest test) passes only when
// its draw's result is x + m * divisor for an index x that it allows,
// which fixes k = (x + m * divisor - h_i) / (a^i d) mod 2^15: each class
// makes its candidates directly, a pass-chance share of its attempts.
#include <algorithm>

#include "search/context.h"
#include "shuffle.h"

namespace shufflesort {

namespace {

// Results are 15 bits: the residue classes count k modulo 2^15.
constexpr std::uint32_t RESULT_MODULUS = LCG_OUTPUT_MASK + 1;

// The compacted indices that the anchor allows, in increasing order.
std::vector<std::uint32_t> anchor_indices(const DrawTest& anchor) {
  std::vector<std::uint32_t> indices;
  for (std::uint32_t index = 0; index < anchor.remainder.divisor; ++index) {
    if (passes(anchor, index)) indices.push_back(index);
  }
  return indices;
}

std::uint64_t class_count(int count) { return attempt_period(count) / RESULT_MODULUS; }

}  // namespace

std::uint64_t class_candidates(const SearchContext& search) {
  const DrawTest& anchor = search.plan->tests[0];
  const std::uint64_t per_class =
      anchor_indices(anchor).size() * RESULT_MODULUS / anchor.remainder.divisor;
  return class_count(search.count) * per_class;
}

std::optional<std::uint64_t> search_classes(SearchContext& search, std::uint64_t limit) {
  limit = std::min(limit, attempt_period(search.count));
  const auto n = static_cast<std::uint32_t>(search.count);
  const KernelFunctions& kernel = search.kernel;
  const DrawPlan& plan = *search.plan;
  const Candidates list = search.candidates();
  const std::uint64_t classes = class_count(search.count);  // W, a power of two
  std::uint32_t class_shift = 0;
  while ((std::uint64_t{1} << class_shift) < classes) ++class_shift;
  const AffineMap next_attempt = generator_steps(n);
  const AffineMap next_in_class = generator_steps(classes * n);
  const DrawTest& anchor = plan.tests[0];
  const std::vector<std::uint32_t> indices = anchor_indices(anchor);
  const std::uint32_t divisor = anchor.remainder.divisor;
  std::uint64_t best = limit;
  std::uint32_t found = 0;
  // Judges the gathered candidates on the later stages and checks the
  // survivors exactly.
  const auto judge_gathered = [&] {
    const std::uint32_t passed =
        kernel.later_stages(plan, plan.class_stages_first + 1, plan.stage_count, list, found);
    for (std::uint32_t f = 0; f < passed; ++f) {
      if (list.tags[f] < best && search.comes_out_in_order(list.states[f])) best = list.tags[f];
    }
    found = 0;
  };
  std::uint32_t state = generator_steps(1)(search.seed);  // attempt 0 after its first draw
  for (std::uint64_t r = 0; r < classes && r < best; ++r, state = next_attempt(state)) {
    // W attempts on, the low half is back and the state has moved by d * 2^16.
    const std::uint32_t d = (next_in_class(state) - state) >> 16;
    // The anchor's result steps by a^i * d, which is odd: dividing by it
    // turns the results the anchor allows into candidates' k.
    const std::uint32_t inverse_step = inverse(AffineMap{anchor.multiplier * d, 0}).multiplier;
    const std::uint32_t anchor_result =
        generator_output(anchor.multiplier * state + anchor.increment);
    CandidateRun run{state,
                     d,
                     0,
                     (divisor * inverse_step) & LCG_OUTPUT_MASK,
                     0,
                     0,
                     static_cast<std::uint32_t>(r),
                     class_shift};
    for (const std::uint32_t index : indices) {
      // Results index, index + divisor, ... below 2^15 take this index.
      run.anchor_index = index;
      run.count = (RESULT_MODULUS - index + divisor - 1) / divisor;
      run.k_first = ((index - anchor_result) * inverse_step) & LCG_OUTPUT_MASK;
      found = kernel.first_stage_of_run(plan, run, list, found);
      if (found >= BATCH) judge_gathered();
    }
  }
  judge_gathered();
  return best < limit ? std::optional<std::uint64_t>(best) : std::nullopt;
}

}  // namespace shufflesort
