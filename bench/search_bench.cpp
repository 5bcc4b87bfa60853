// Attempts judged per second: the literal replay of shuffles against the
// vector search, for 8, 10, 12 and 13 values. Each run scans a fixed number
// of attempts (or up to the first ordered one) and reports them as items.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "search.h"

namespace {

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

std::uint64_t attempts_scanned(std::optional<std::uint64_t> first, std::uint64_t limit) {
  return first ? *first + 1 : limit;
}

void literal_replay(benchmark::State& state) {
  const std::vector<Value> values = scrambled(static_cast<int>(state.range(0)));
  constexpr std::uint64_t LIMIT = 200000;
  std::uint64_t scanned = 0;
  for (auto _ : state) {
    const auto first = shufflesort::first_ordered_attempt_by_replay(
        SEED, values.data(), static_cast<int>(values.size()), LIMIT);
    benchmark::DoNotOptimize(first);
    scanned += attempts_scanned(first, LIMIT);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(scanned));
}

void vector_search(benchmark::State& state, shufflesort::Kernel kernel) {
  const std::vector<Value> values = scrambled(static_cast<int>(state.range(0)));
  constexpr std::uint64_t LIMIT = std::uint64_t{1} << 26;
  std::uint64_t scanned = 0;
  for (auto _ : state) {
    const auto first = shufflesort::first_ordered_attempt(
        SEED, values.data(), static_cast<int>(values.size()), LIMIT, kernel);
    benchmark::DoNotOptimize(first);
    scanned += attempts_scanned(first, LIMIT);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(scanned));
}

void register_all() {
  const std::vector<int> counts = {8, 10, 12, 13};
  auto* literal = benchmark::RegisterBenchmark("literal_replay", literal_replay);
  for (int count : counts) literal->Arg(count);
  for (shufflesort::Kernel kernel : shufflesort::supported_kernels()) {
    const char* name = kernel == shufflesort::Kernel::avx512 ? "search_avx512"
                       : kernel == shufflesort::Kernel::avx2 ? "search_avx2"
                                                             : "search_portable";
    auto* search = benchmark::RegisterBenchmark(name, vector_search, kernel);
    for (int count : counts) search->Arg(count);
    search->Unit(benchmark::kMillisecond);
  }
}

const bool registered = (register_all(), true);

}  // namespace
