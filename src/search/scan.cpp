// The scan: attempts judged in order, a chunk at a time, so that an answer
// that comes early costs only the attempts before it.
#include <algorithm>

#include "search/context.h"
#include "shuffle.h"

namespace shufflesort {

std::optional<std::uint64_t> scan_attempts(SearchContext& search, std::uint64_t limit) {
  limit = std::min(limit, attempt_period(search.count));
  const KernelFunctions& kernel = search.kernel;
  const DrawPlan& plan = *search.plan;
  const Candidates list = search.candidates();
  const auto steps_per_attempt = static_cast<std::uint64_t>(search.count);
  const AffineMap next_chunk = generator_steps(CHUNK * steps_per_attempt);
  std::uint32_t state = generator_steps(1)(search.seed);  // attempt 0 after its first draw
  std::uint32_t found = 0;
  for (std::uint64_t first = 0; first < limit; first += CHUNK, state = next_chunk(state)) {
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(CHUNK, limit - first));
    found = kernel.first_stage_of_attempts(plan, state, static_cast<std::uint32_t>(first), count,
                                           list, found);
    if (found < BATCH && first + count < limit) continue;
    const std::uint32_t passed = kernel.later_stages(plan, 1, plan.class_stages_first, list, found);
    for (std::uint32_t f = 0; f < passed; ++f) {  // in attempt order
      if (search.comes_out_in_order(list.states[f])) return list.tags[f];
    }
    found = 0;
  }
  return std::nullopt;
}

}  // namespace shufflesort
