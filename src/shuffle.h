// The random generator, the shuffle that draws a permutation from it, and the
// test for a permutation in non-decreasing order.
#pragma once

#include <cstdint>

#include "max_values.h"

namespace shufflesort {

// The generator is a linear congruential one: state = state * multiplier +
// increment (mod 2^32); each result is bits 16 to 30 of the new state.
constexpr std::uint32_t LCG_MULTIPLIER = 0x343FD;  // 214013
constexpr std::uint32_t LCG_INCREMENT = 0x269EC3;  // 2531011
constexpr std::uint32_t LCG_OUTPUT_SHIFT = 16;
constexpr std::uint32_t LCG_OUTPUT_MASK = 0x7FFF;  // results are 0..32767

// The map x -> multiplier * x + increment (mod 2^32). Stepping the generator
// k times is such a map, so any later state can be reached directly.
struct AffineMap {
  std::uint32_t multiplier;
  std::uint32_t increment;

  std::uint32_t operator()(std::uint32_t x) const { return multiplier * x + increment; }
};

// The map that applies `first`, then `second`.
AffineMap compose(AffineMap second, AffineMap first);

// The generator stepped `steps` times, by square-and-multiply: O(log steps).
AffineMap generator_steps(std::uint64_t steps);

// The map that undoes `map`; its multiplier must be odd, as the generator's is.
AffineMap inverse(AffineMap map);

inline std::uint32_t generator_output(std::uint32_t state) {
  return (state >> LCG_OUTPUT_SHIFT) & LCG_OUTPUT_MASK;
}

// The process's random generator: seeded once, then stepped once per result.
struct Generator {
  std::uint32_t state = 1;

  void seed(std::uint32_t seed) { state = seed; }
  int next() {
    state = state * LCG_MULTIPLIER + LCG_INCREMENT;
    return static_cast<int>(generator_output(state));
  }
};

// Draws all `count` values of `pool` into `shuffled`, without replacement:
// each draw picks entry next() % remaining of the pool, which is then
// compacted through `scratch` so the undrawn values keep their file order.
// Leaves `pool` without meaningful contents.
void shuffle(Generator& generator, Value* pool, int count, Value* shuffled, Value* scratch);

// True when `shuffled[0..count)` has at least one adjacent pair and every
// adjacent pair is in non-decreasing order.
bool comes_out_in_order(const Value* shuffled, int count);

// Whether the attempt starting at generator state `state` comes out in order:
// the same answer as a shuffle of `values` followed by the order test, but
// stopping at the first draw that differs from `ascending` (the values in
// non-decreasing order), which is almost always the first or second.
bool attempt_comes_out_in_order(std::uint32_t state, const Value* values, const Value* ascending,
                                int count);

}  // namespace shufflesort
