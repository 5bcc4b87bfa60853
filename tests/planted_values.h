// Value lists planted so that a given attempt comes out in order: the
// attempt's draws are made, and the file position each one takes gets the
// value of that draw's rank.
#pragma once

#include <cstdint>
#include <vector>

#include "max_values.h"
#include "shuffle.h"

// `value_of_rank(rank)` must not decrease with the rank.
template <typename ValueOfRank>
std::vector<shufflesort::Value> planted_by_rank(std::uint32_t seed, int count,
                                                std::uint64_t attempt, ValueOfRank value_of_rank) {
  shufflesort::Generator generator{
      shufflesort::generator_steps(attempt * static_cast<unsigned>(count))(seed)};
  std::vector<int> undrawn(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) undrawn[static_cast<std::size_t>(k)] = k;
  std::vector<shufflesort::Value> values(static_cast<std::size_t>(count));
  for (int rank = 0; rank < count; ++rank) {
    const auto idx = static_cast<std::size_t>(generator.next() % static_cast<int>(undrawn.size()));
    values[static_cast<std::size_t>(undrawn[idx])] = value_of_rank(rank);
    undrawn.erase(undrawn.begin() + static_cast<std::ptrdiff_t>(idx));
  }
  return values;
}
