// The search's entry points: the scan first, for answers that come early,
// then the class search; and the literal replay they are held to.
#include "search/search.h"

#include <algorithm>

#include "search/context.h"
#include "shuffle.h"

namespace shufflesort {

namespace {

// The fewest attempts scanned before the class search: a few milliseconds.
constexpr std::uint64_t SCAN_FIRST = std::uint64_t{1} << 20;
// The share of the class search's candidates that the scan covers first.
constexpr std::uint64_t SCAN_SHARE = 8;

}  // namespace

SearchContext::SearchContext(std::uint32_t seed, const Value* values, int count, Kernel kernel)
    : seed(seed),
      values(values),
      count(count),
      ascending(values, values + count),
      plan(std::make_unique<DrawPlan>()),
      kernel(kernel_functions(kernel)),
      states(LIST_SIZE),
      tags(LIST_SIZE) {
  std::sort(ascending.begin(), ascending.end());
  make_draw_plan(values, ascending.data(), count, *plan);
}

ClassLists SearchContext::class_lists() {
  class_k.resize(CLASS_LIST_SIZE);
  class_bytes.resize(CLASS_BYTE_LISTS * std::size_t{CLASS_LIST_SIZE});
  ClassLists lists{class_k.data(), {}};
  for (std::uint32_t j = 0; j < CLASS_BYTE_LISTS; ++j) {
    lists.bytes[j] = class_bytes.data() + j * std::size_t{CLASS_LIST_SIZE};
  }
  return lists;
}

bool SearchContext::comes_out_in_order(std::uint32_t state_after_first_draw) const {
  static const AffineMap undo_first_draw = inverse(generator_steps(1));
  return attempt_comes_out_in_order(undo_first_draw(state_after_first_draw), values,
                                    ascending.data(), count);
}

std::uint64_t attempt_period(int count) {
  std::uint64_t period = std::uint64_t{1} << 31;
  for (unsigned n = static_cast<unsigned>(count); n % 2 == 0 && period > 1; n /= 2) period /= 2;
  return period;
}

std::optional<std::uint64_t> first_ordered_attempt(std::uint32_t seed, const Value* values,
                                                   int count, std::uint64_t limit, Kernel kernel) {
  SearchContext search(seed, values, count, kernel);
  if (judged_by_block_classes(*search.plan)) {
    // Its class search follows the answer by itself; the scan takes the
    // attempts where its ranges of candidates are too short to fill lanes.
    const std::uint64_t scanned = std::min(limit, SCAN_FIRST);
    const std::optional<std::uint64_t> early = scan_attempts(search, scanned);
    if (early || limit <= scanned) return early;
    return search_block_classes(search, scanned, limit);
  }
  // Scanning as many attempts as the class search judges candidates costs
  // about as much as the class search. An eighth of them keeps the search
  // of an input that never comes out in order within 1/8 of the class
  // search's cost, while an answer among them costs what reaching it costs.
  const std::uint64_t scanned =
      std::min(limit, std::max(SCAN_FIRST, class_candidates(search) / SCAN_SHARE));
  const std::optional<std::uint64_t> early = scan_attempts(search, scanned);
  if (early || limit <= scanned) return early;
  return search_classes(search, limit);
}

std::optional<std::uint64_t> first_ordered_attempt_by_scan(std::uint32_t seed, const Value* values,
                                                           int count, std::uint64_t limit,
                                                           Kernel kernel) {
  SearchContext search(seed, values, count, kernel);
  return scan_attempts(search, limit);
}

std::optional<std::uint64_t> first_ordered_attempt_by_classes(std::uint32_t seed,
                                                              const Value* values, int count,
                                                              std::uint64_t limit, Kernel kernel) {
  SearchContext search(seed, values, count, kernel);
  if (judged_by_block_classes(*search.plan)) return search_block_classes(search, 0, limit);
  return search_classes(search, limit);
}

std::optional<std::uint64_t> first_ordered_attempt_by_replay(std::uint32_t seed,
                                                             const Value* values, int count,
                                                             std::uint64_t limit) {
  Generator generator;
  generator.seed(seed);
  std::vector<Value> pool(static_cast<std::size_t>(count));
  std::vector<Value> shuffled(pool.size());
  std::vector<Value> scratch(pool.size());
  for (std::uint64_t attempt = 0; attempt < limit; ++attempt) {
    std::copy(values, values + count, pool.begin());
    shuffle(generator, pool.data(), count, shuffled.data(), scratch.data());
    if (comes_out_in_order(shuffled.data(), count)) return attempt;
  }
  return std::nullopt;
}

}  // namespace shufflesort
