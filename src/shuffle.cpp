// The generator, the shuffle and the order test; see shuffle.h.
#include "shuffle.h"

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

namespace {

// The file positions not yet drawn, as bits, and how many each word holds:
// draw idx takes the idx-th of them, found by counting instead of
// compacting an array.
class UndrawnPositions {
 public:
  explicit UndrawnPositions(int count) {
    for (int word = 0; word * 64 < count; ++word) {
      const int in_word = count - word * 64;
      words_[word] = in_word >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << in_word) - 1;
      undrawn_[word] = in_word >= 64 ? 64 : in_word;
    }
  }

  // Takes the undrawn position of rank `idx` and returns it.
  int take(int idx) {
    int word = 0;
    for (; idx >= undrawn_[word]; ++word) idx -= undrawn_[word];
    std::uint64_t bits = words_[word];
    for (; idx > 0; --idx) bits &= bits - 1;  // drop the lower undrawn positions
    const int bit = __builtin_ctzll(bits);
    words_[word] &= ~(std::uint64_t{1} << bit);
    --undrawn_[word];
    return word * 64 + bit;
  }

 private:
  static constexpr int WORDS = (MAX_VALUES + 63) / 64;
  std::uint64_t words_[WORDS] = {};
  int undrawn_[WORDS] = {};
};

}  // namespace

bool attempt_comes_out_in_order(std::uint32_t state, const Value* values, const Value* ascending,
                                int count) {
  if (count < 2) return false;
  Generator generator{state};
  // Nothing is drawn yet, so the first draw takes the file position it
  // names; most attempts end there, before any position is counted.
  const int first = generator.next() % count;
  if (values[first] != ascending[0]) return false;
  UndrawnPositions undrawn(count);
  undrawn.take(first);
  for (int remaining = count - 1; remaining > 0; --remaining) {
    const int idx = generator.next() % remaining;
    if (values[undrawn.take(idx)] != ascending[count - remaining]) return false;
  }
  return true;
}

}  // namespace shufflesort
