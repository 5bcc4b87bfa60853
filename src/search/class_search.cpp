// Visiting every residue class: a range of each class's candidates, or the
// survivors of a pair table, judged in the kernel's lanes; the few that
// pass every stage are checked exactly, and the first attempt among them
// is the answer.
#include <algorithm>

#include "search/context.h"

namespace shufflesort {

namespace {

// Checks the `passed` survivors of the current class exactly and keeps the
// first attempt below `limit` that comes out in order in `best`.
void check_survivors(const SearchContext& search, const ClassFrame& frame, std::uint32_t passed,
                     std::uint64_t limit, std::optional<std::uint64_t>& best) {
  for (std::uint32_t s = 0; s < passed; ++s) {
    const std::uint32_t u = search.lists.now().u[s];
    const std::uint64_t attempt = frame.attempt_of(u);
    if (attempt >= limit || (best && *best <= attempt)) continue;
    if (search.comes_out_in_order(frame.start_state(u))) best = attempt;
  }
}

}  // namespace

std::optional<std::uint64_t> search_range(SearchContext& search, std::uint32_t k_first,
                                          std::uint32_t k_end, std::uint64_t limit) {
  const DrawPlan& plan = *search.plan;
  ClassFrame frame(search.seed, plan, 0);
  frame.fill_constants(*search.draws);
  const std::uint64_t classes = frame.classes();
  std::optional<std::uint64_t> best;
  for (std::uint32_t c = 0; c < classes && c < limit; ++c) {
    // Attempts c + k T grow with k: a later class has none below an answer
    // at k_first.
    if (best && *best < c + classes * k_first) break;
    const std::uint64_t below_limit = (limit - c + classes - 1) / classes;
    const auto end = static_cast<std::uint32_t>(std::min<std::uint64_t>(k_end, below_limit));
    if (end <= k_first) continue;
    frame.enter(c, *search.draws);
    const std::uint32_t passed =
        search.kernel.judge_range(plan, plan.all_stages, *search.draws, frame.candidate(k_first),
                                  frame.candidate_step(), end - k_first, search.lists);
    check_survivors(search, frame, passed, limit, best);
  }
  return best;
}

std::optional<std::uint64_t> search_pairs(SearchContext& search, std::uint64_t limit,
                                          std::uint32_t k_from) {
  const DrawPlan& plan = *search.plan;
  const DrawPair& pair = plan.pair;
  ClassFrame frame(search.seed, plan, pair.lead_draw);
  frame.fill_constants(*search.draws);
  const auto table = std::make_unique<PairTable>();
  make_pair_table(plan, *table);
  std::optional<std::uint64_t> best;
  for (std::uint32_t c = 0; c < frame.classes() && c < limit; ++c) {
    if (best && *best < c) break;
    frame.enter(c, *search.draws);
    const PairSplit split = split_for(*table, search.draws->offsets[pair.second_draw] & 0xFFFF);
    const std::uint32_t passed =
        search.kernel.judge_pairs(plan, plan.after_pair, *search.draws, *table, split,
                                  frame.candidates_from(k_from), search.lists);
    check_survivors(search, frame, passed, limit, best);
  }
  return best;
}

}  // namespace shufflesort
