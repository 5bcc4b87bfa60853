// Random value lists for property tests: `size` values drawn from the
// `spread` integers starting at `lowest`, so a small spread makes repeats.
#pragma once

#include <algorithm>
#include <random>
#include <vector>

#include "max_values.h"

inline std::vector<shufflesort::Value> random_values(std::mt19937& random, std::size_t size,
                                                     unsigned spread, shufflesort::Value lowest) {
  std::vector<shufflesort::Value> values(size);
  std::generate(values.begin(), values.end(),
                [&] { return lowest + static_cast<shufflesort::Value>(random() % spread); });
  return values;
}
