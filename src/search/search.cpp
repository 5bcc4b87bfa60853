// The search's entry points: the first attempts one by one, then ranges of
// every class growing fourfold, then the pair table; and the literal replay
// they are held to.
#include "search/search.h"

#include <algorithm>

#include "search/context.h"
#include "shuffle.h"

namespace shufflesort {

namespace {

// Attempts checked one by one before the classes. The first range visits
// every class, which costs about what checking four attempts of each costs;
// so the attempts up to there are checked one by one, at least 4096, and at
// most 2^22 values' worth, as each check walks the values.
constexpr std::uint64_t FIRST_ATTEMPTS = 1u << 12;
constexpr std::uint64_t FIRST_ATTEMPTS_PER_CLASS = 4;
constexpr std::uint64_t FIRST_VALUES = 1u << 22;
// How much each range of candidates is wider than the one before, and
// the narrowest: a group of the widest lanes, which costs about what one
// candidate costs, so that the first ranges are not mostly visits.
constexpr std::uint32_t RANGE_GROWTH = 4;
constexpr std::uint32_t NARROWEST_RANGE = 64;
// The share of the pair table's cost that the ranges may take first.
constexpr double RANGE_SHARE = 1.0 / 8;
// What visiting a class costs besides judging its candidates (moving to it,
// setting its draws' offsets, starting each stage), in the plan's units of
// lane cycles, in which judging 64 candidates costs the plan's cost:
// measured, about 150 of them.
constexpr double CLASS_VISIT_COST = 150;
constexpr double CANDIDATES_PER_COST = 64;
// What leaving out a candidate that the ranges judged costs, for each entry
// of the pair table's lead draw, in the same units: about what taking the
// entries out costs (measured on Zen 4 with AVX-512).
constexpr double LEAVE_OUT_COST = 12;

std::uint64_t attempts_checked_first(int count) {
  const std::uint64_t classes = class_count(count);
  const std::uint64_t affordable = FIRST_VALUES / static_cast<std::uint64_t>(std::max(count, 1));
  return std::max(FIRST_ATTEMPTS, std::min(affordable, FIRST_ATTEMPTS_PER_CLASS * classes));
}

// The first candidate number the ranges judge: those below it in every
// class were among the attempts checked one by one.
std::uint32_t k_after_first_attempts(int count) {
  return static_cast<std::uint32_t>(attempts_checked_first(count) / class_count(count));
}

// Where the range that starts at candidate k ends.
std::uint32_t range_end(std::uint32_t k) { return std::max(k * RANGE_GROWTH, k + NARROWEST_RANGE); }

// Where the ranges from `k_first` stop for the pair table, on a class's
// budget of RANGE_SHARE of what the pair table costs it: an answer below
// that is found for about what reaching it costs, and an input that has
// none spends at most that share more. The last range is cut to the budget.
std::uint32_t ranges_before_pairs(const DrawPlan& plan, std::uint32_t k_first) {
  const double budget =
      RANGE_SHARE * (CLASS_VISIT_COST + CLASS_SIZE / CANDIDATES_PER_COST * plan.cost_with_pair);
  const double per_candidate = plan.cost_without_pair / CANDIDATES_PER_COST;
  double left = budget;
  std::uint32_t k_stop = k_first;
  while (k_stop < CLASS_SIZE && left > CLASS_VISIT_COST) {
    const std::uint32_t k_end = range_end(k_stop);
    const double affordable = (left - CLASS_VISIT_COST) / per_candidate;
    left -= CLASS_VISIT_COST + (k_end - k_stop) * per_candidate;
    k_stop = std::min(k_end, k_stop + static_cast<std::uint32_t>(std::min(affordable, 1e9)));
  }
  return std::min(k_stop, CLASS_SIZE);
}

// The candidates the pair table should leave out, those the ranges judged
// (numbered below `k_judged`) or none: leaving them out is worth it when
// judging them again would cost more than telling them apart.
std::uint32_t left_out_of_pairs(const DrawPlan& plan, std::uint32_t k_judged) {
  const double judging_again =
      double(k_judged) / CLASS_SIZE * plan.pair.pass_chance * plan.after_pair.cost;
  const double telling_apart = plan.tests[plan.pair.lead_test].pass_chance * LEAVE_OUT_COST;
  return judging_again > telling_apart ? k_judged : 0;
}

}  // namespace

PairHandover pair_handover(const DrawPlan& plan, int count) {
  if (!plan.pair.used) return PairHandover{};
  const std::uint32_t k_stop = ranges_before_pairs(plan, k_after_first_attempts(count));
  return PairHandover{k_stop, left_out_of_pairs(plan, k_stop)};
}

namespace {

// The ranges of k from `k_first` on, each RANGE_GROWTH times as wide as the
// one before, until one holds an answer or `k_stop` is reached.
std::optional<std::uint64_t> search_ranges(SearchContext& search, std::uint32_t k_first,
                                           std::uint32_t k_stop, std::uint64_t limit,
                                           std::uint32_t& k_reached) {
  const std::uint64_t classes = class_count(search.count);
  k_reached = k_first;
  while (k_reached < k_stop && k_reached * classes < limit) {
    const std::uint32_t k_end = std::min(k_stop, range_end(k_reached));
    const std::optional<std::uint64_t> found = search_range(search, k_reached, k_end, limit);
    k_reached = k_end;
    if (found) return found;
  }
  return std::nullopt;
}

}  // namespace

SearchContext::SearchContext(std::uint32_t seed, const Value* values, int count, Kernel kernel)
    : seed(seed),
      values(values),
      count(count),
      ascending(values, values + count),
      plan(std::make_unique<DrawPlan>()),
      kernel(kernel_functions(kernel)),
      draws(std::make_unique<ClassDraws>()),
      u_lists(new std::uint16_t[2 * std::size_t{LIST_SIZE}]),
      byte_lists(new std::uint8_t[2 * std::size_t{MAX_CARRIED} * LIST_SIZE]) {
  std::sort(ascending.begin(), ascending.end());
  make_draw_plan(values, ascending.data(), count, *plan);
  for (std::size_t set = 0; set < 2; ++set) {
    ClassLists& lists_of_set = lists.sets[set];
    lists_of_set.u = u_lists.get() + set * LIST_SIZE;
    for (std::uint32_t j = 0; j < MAX_CARRIED; ++j) {
      lists_of_set.bytes[j] = byte_lists.get() + (set * MAX_CARRIED + j) * LIST_SIZE;
    }
  }
}

bool SearchContext::comes_out_in_order(std::uint32_t state) const {
  return attempt_comes_out_in_order(state, values, ascending.data(), count);
}

std::uint64_t attempt_period(int count) {
  std::uint64_t period = std::uint64_t{1} << 31;
  for (unsigned n = static_cast<unsigned>(count); n % 2 == 0 && period > 1; n /= 2) period /= 2;
  return period;
}

std::optional<std::uint64_t> first_ordered_attempt(std::uint32_t seed, const Value* values,
                                                   int count, std::uint64_t limit, Kernel kernel) {
  limit = std::min(limit, attempt_period(count));
  SearchContext search(seed, values, count, kernel);
  const std::uint64_t scanned = std::min(limit, attempts_checked_first(count));
  const AffineMap next_attempt = generator_steps(static_cast<std::uint64_t>(count));
  std::uint32_t state = seed;
  for (std::uint64_t attempt = 0; attempt < scanned; ++attempt, state = next_attempt(state)) {
    if (search.comes_out_in_order(state)) return attempt;
  }
  if (limit <= scanned) return std::nullopt;
  const std::uint64_t classes = class_count(count);
  const PairHandover handover = pair_handover(*search.plan, count);
  std::uint32_t k_reached = 0;
  const std::optional<std::uint64_t> found =
      search_ranges(search, k_after_first_attempts(count), handover.k_stop, limit, k_reached);
  // Unless the limit cut them short, the ranges reached handover.k_stop.
  if (found || k_reached >= CLASS_SIZE || k_reached * classes >= limit) return found;
  return search_pairs(search, limit, handover.k_left_out);
}

std::optional<std::uint64_t> first_ordered_attempt_by_ranges(std::uint32_t seed,
                                                             const Value* values, int count,
                                                             std::uint64_t limit, Kernel kernel) {
  limit = std::min(limit, attempt_period(count));
  SearchContext search(seed, values, count, kernel);
  std::uint32_t k_reached = 0;
  return search_ranges(search, 0, CLASS_SIZE, limit, k_reached);
}

std::optional<std::uint64_t> first_ordered_attempt_by_pairs(std::uint32_t seed, const Value* values,
                                                            int count, std::uint64_t limit,
                                                            Kernel kernel) {
  limit = std::min(limit, attempt_period(count));
  SearchContext search(seed, values, count, kernel);
  if (search.plan->pair.used) return search_pairs(search, limit, 0);
  std::uint32_t k_reached = 0;
  return search_ranges(search, 0, CLASS_SIZE, limit, k_reached);
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
