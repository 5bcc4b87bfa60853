// Whole searches over the input families that cost the most, on each vector
// kernel this CPU has: the time of one search, from the seed to the answer
// or to the proof that there is none, for the period's worth of attempts.
// The literal replay is timed on the families it finishes in seconds.
// Filter with --benchmark_filter, e.g. --benchmark_filter=/avx512 or
// --benchmark_filter=two_kinds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "search/search.h"

namespace {

using shufflesort::Kernel;
using shufflesort::Value;

// `counts[v]` copies of each value v, in an order fixed by `order_seed`
// (0 keeps them sorted).
std::vector<Value> kinds(const std::vector<int>& counts, unsigned order_seed) {
  std::vector<Value> values;
  for (std::size_t v = 0; v < counts.size(); ++v) {
    values.insert(values.end(), static_cast<std::size_t>(counts[v]), static_cast<Value>(v));
  }
  if (order_seed != 0) std::shuffle(values.begin(), values.end(), std::mt19937(order_seed));
  return values;
}

struct Family {
  const char* name;
  std::vector<Value> values;
  std::uint32_t seed;
  bool replay;  // the literal replay finishes it in seconds
};

std::vector<Family> families() {
  std::vector<Family> all = {
      {"two_kinds_99", kinds({50, 49}, 1), 1700000000, false},
      {"two_kinds_75", kinds({38, 37}, 1), 1700000000, false},
      {"two_kinds_31", kinds({16, 15}, 1), 1700000000, false},
      {"three_kinds_99", kinds({33, 33, 33}, 1), 1700000000, false},
      {"five_kinds_99", kinds({20, 20, 20, 20, 19}, 1), 1700000000, false},
      {"distinct_13_never", {13, 2, 11, 5, 7, 1, 12, 3, 9, 4, 10, 6, 8}, 1, false},
      {"distinct_12_early", {12, 2, 11, 5, 7, 1, 3, 9, 4, 10, 6, 8}, 1700000000, false},
      {"distinct_100", kinds(std::vector<int>(100, 1), 1), 1700000000, false},
      {"smallest_30_of_37", kinds({30, 7}, 1), 1700000000, true},
      {"zeros_91_and_1_to_8", kinds({91, 1, 1, 1, 1, 1, 1, 1, 1}, 1), 1700000000, false},
      {"ones_93_then_twos_6", kinds({93, 6}, 0), 1700000000, false},
      {"zeros_95_ones_4", kinds({95, 4}, 1), 1700000000, true},
      {"ones_93_twos_6_shuffled", kinds({93, 6}, 1), 1700000000, false},
      {"zeros_91_ones_8_shuffled", kinds({91, 8}, 1), 1700000000, false},
      {"zeros_85_ones_14_shuffled", kinds({85, 14}, 1), 1700000000, false},
      {"zeros_80_ones_19_shuffled", kinds({80, 19}, 1), 1700000000, false},
      {"zeros_70_ones_29_shuffled", kinds({70, 29}, 1), 1700000000, false},
      {"zeros_60_ones_39_shuffled", kinds({60, 39}, 1), 1700000000, false},
  };
  return all;
}

void whole_search(benchmark::State& state, const Family& family, Kernel kernel) {
  const int count = static_cast<int>(family.values.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(shufflesort::first_ordered_attempt(
        family.seed, family.values.data(), count, shufflesort::attempt_period(count), kernel));
  }
}

void literal_replay(benchmark::State& state, const Family& family) {
  const int count = static_cast<int>(family.values.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(shufflesort::first_ordered_attempt_by_replay(
        family.seed, family.values.data(), count, shufflesort::attempt_period(count)));
  }
}

void register_all() {
  static const std::vector<Family> all = families();
  for (const Family& family : all) {
    for (Kernel kernel : shufflesort::supported_kernels()) {
      const std::string name = std::string(family.name) + "/" + shufflesort::kernel_name(kernel);
      benchmark::RegisterBenchmark(name.c_str(), whole_search, family, kernel)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1);
    }
    if (family.replay) {
      const std::string name = std::string(family.name) + "/literal_replay";
      benchmark::RegisterBenchmark(name.c_str(), literal_replay, family)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1);
    }
  }
}

const bool registered = (register_all(), true);

}  // namespace
