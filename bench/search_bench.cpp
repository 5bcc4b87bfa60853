// Attempts judged per second: the literal replay of shuffles against the two
// searches on each vector unit, for 8, 10, 12 and 13 values. Each run covers
// a fixed number of attempts (or up to the first ordered one) and reports
// them as items; the class search always covers the whole period.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "search.h"

namespace {

using shufflesort::Kernel;
using shufflesort::Value;

// Values in a scrambled order; 13 of them never come out in order from
// seed 1, the others take millions of attempts.
std::vector<Value> scrambled(int count) {
  const std::vector<Value> base = {13, 2, 11, 5, 7, 1, 12, 3, 9, 4, 10, 6, 8};
  std::vector<Value> values;
  std::copy_if(base.begin(), base.end(), std::back_inserter(values),
               [count](Value v) { return v <= count; });
  return values;
}

constexpr std::uint32_t SEED = 1;

using SearchFunction = std::optional<std::uint64_t> (*)(std::uint32_t, const Value*, int,
                                                        std::uint64_t, Kernel);

// Runs `search` over `limit` attempts and counts the attempts it covered.
template <typename Search>
void count_attempts(benchmark::State& state, std::uint64_t limit, Search search) {
  std::uint64_t covered = 0;
  for (auto _ : state) {
    const std::optional<std::uint64_t> first = search(limit);
    benchmark::DoNotOptimize(first);
    covered += first ? *first + 1 : limit;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(covered));
}

void literal_replay(benchmark::State& state) {
  const std::vector<Value> values = scrambled(static_cast<int>(state.range(0)));
  count_attempts(state, 200000, [&](std::uint64_t limit) {
    return shufflesort::first_ordered_attempt_by_replay(SEED, values.data(),
                                                        static_cast<int>(values.size()), limit);
  });
}

void vector_search(benchmark::State& state, SearchFunction function, Kernel kernel,
                   bool whole_period) {
  const std::vector<Value> values = scrambled(static_cast<int>(state.range(0)));
  const int count = static_cast<int>(values.size());
  const std::uint64_t limit =
      whole_period ? shufflesort::attempt_period(count) : std::uint64_t{1} << 26;
  count_attempts(state, limit, [&](std::uint64_t attempts) {
    return function(SEED, values.data(), count, attempts, kernel);
  });
}

void register_all() {
  const std::vector<int> counts = {8, 10, 12, 13};
  auto* literal = benchmark::RegisterBenchmark("literal_replay", literal_replay);
  for (int count : counts) literal->Arg(count);
  for (Kernel kernel : shufflesort::supported_kernels()) {
    auto* scan = benchmark::RegisterBenchmark(
        (std::string("scan_") + shufflesort::kernel_name(kernel)).c_str(), vector_search,
        shufflesort::first_ordered_attempt_by_scan, kernel, false);
    auto* classes = benchmark::RegisterBenchmark(
        (std::string("classes_") + shufflesort::kernel_name(kernel)).c_str(), vector_search,
        shufflesort::first_ordered_attempt_by_classes, kernel, true);
    for (int count : counts) {
      scan->Arg(count)->Unit(benchmark::kMillisecond);
      classes->Arg(count)->Unit(benchmark::kMillisecond);
    }
  }
}

const bool registered = (register_all(), true);

}  // namespace
