// The generator, the shuffle and the order test; see shuffle.h.
#include "shuffle.h"

#include <cstring>

namespace shufflesort {

AffineMap compose(AffineMap second, AffineMap first) {
  return {second.multiplier * first.multiplier,
          second.multiplier * first.increment + second.increment};
}

AffineMap generator_steps(std::uint64_t steps) {
  AffineMap result{1, 0};
  AffineMap power{LCG_MULTIPLIER, LCG_INCREMENT};  // the generator stepped 2^bit times
  for (; steps != 0; steps >>= 1) {
    if ((steps & 1) != 0) result = compose(power, result);
    power = compose(power, power);
  }
  return result;
}

AffineMap inverse(AffineMap map) {
  // Newton's iteration doubles the number of correct low bits each time:
  // an odd m is its own inverse modulo 8, so 3, 6, 12, 24, 48 bits.
  std::uint32_t inverse_multiplier = map.multiplier;
  for (int i = 0; i < 4; ++i) inverse_multiplier *= 2 - map.multiplier * inverse_multiplier;
  return {inverse_multiplier, 0 - inverse_multiplier * map.increment};
}

void shuffle(Generator& generator, Value* pool, int count, Value* shuffled, Value* scratch) {
  int remaining = count;
  for (int i = 0; i < count; ++i) {
    const int idx = generator.next() % remaining;
    shuffled[i] = pool[idx];
    int kept = 0;
    for (int k = 0; k < remaining; ++k) {
      if (k != idx) scratch[kept++] = pool[k];
    }
    for (int k = 0; k < kept; ++k) pool[k] = scratch[k];
    --remaining;
  }
}

bool comes_out_in_order(const Value* shuffled, int count) {
  for (int k = 0; k + 1 < count; ++k) {
    if (shuffled[k] > shuffled[k + 1]) return false;
    if (k == count - 2) return true;
  }
  return false;
}

bool attempt_comes_out_in_order(std::uint32_t state, const Value* values, const Value* ascending,
                                int count) {
  if (count < 2) return false;
  Value pool[MAX_VALUES];
  std::memcpy(pool, values, sizeof(Value) * static_cast<unsigned>(count));
  Generator generator{state};
  for (int remaining = count; remaining > 0; --remaining) {
    const int idx = generator.next() % remaining;
    if (pool[idx] != ascending[count - remaining]) return false;
    std::memmove(pool + idx, pool + idx + 1,
                 sizeof(Value) * static_cast<unsigned>(remaining - idx - 1));
  }
  return true;
}

}  // namespace shufflesort
