// Making a pair table and splitting it for a class; see pair_table.h.
#include "search/pair_table.h"

#include "search/classes.h"
#include "shuffle.h"

namespace shufflesort {

namespace {

// Whether the second draw passes at compacted index `second` after the
// lead took index `lead`: a fixed test's own allowed set, or for a block
// whether the entry of its first pool at `second`, past the lead's, holds
// the value.
struct SecondDraw {
  const DrawPlan& plan;

  bool passes(std::uint32_t lead, std::uint32_t second) const {
    const DrawPair& pair = plan.pair;
    if (pair.block < 0) return plan.tests[pair.second_test].allowed.has(second);
    return plan.blocks[pair.block].values.has(second + (second >= lead ? 1 : 0));
  }
};

}  // namespace

void make_pair_table(const DrawPlan& plan, PairTable& table) {
  const DrawPair& pair = plan.pair;
  const FixedTest& lead = plan.tests[pair.lead_test];
  table.lead_divisor = lead.pool_size;
  table.second_divisor = static_cast<std::uint32_t>(plan.count) - pair.second_draw;
  const std::uint32_t lead_inverse =
      inverse(AffineMap{generator_steps(pair.lead_draw).multiplier, 0}).multiplier;
  table.multiplier =
      (generator_steps(pair.second_draw).multiplier * lead_inverse) & LCG_OUTPUT_MASK;
  table.carries_block = pair.block >= 0;
  // v = M u runs through every 15-bit number once: visit the entries by v.
  const std::uint32_t u_of_v = inverse(AffineMap{table.multiplier, 0}).multiplier;
  table.u.clear();
  table.lead_index.clear();
  table.second_part.clear();
  table.rank.assign(CLASS_SIZE + 1, 0);
  for (std::uint32_t v = 0; v < CLASS_SIZE; ++v) {
    const std::uint32_t u = (v * u_of_v) & LCG_OUTPUT_MASK;
    const std::uint32_t index = u % table.lead_divisor;
    if (lead.allowed.has(index)) {
      table.u.push_back(static_cast<std::uint16_t>(u));
      table.lead_index.push_back(static_cast<std::uint8_t>(index));
      table.second_part.push_back(static_cast<std::uint8_t>(v % table.second_divisor));
    }
    table.rank[v + 1] = static_cast<std::uint16_t>(table.u.size());
  }
  table.entries = static_cast<std::uint32_t>(table.u.size());
  table.words = (table.entries + 63) / 64;
  table.passes.assign(std::size_t{table.second_divisor} * table.words, 0);
  const SecondDraw second{plan};
  for (std::uint32_t rho = 0; rho < table.second_divisor; ++rho) {
    const std::size_t row = std::size_t{rho} * table.words;
    for (std::uint32_t j = 0; j < table.entries; ++j) {
      const std::uint32_t index = (table.second_part[j] + rho) % table.second_divisor;
      if (second.passes(table.lead_index[j], index)) {
        table.passes[row + j / 64] |= std::uint64_t{1} << (j % 64);
      }
    }
  }
  // Whole words of entries: the kernels read them 64 at a time.
  const std::size_t padded = std::size_t{table.words} * 64;
  table.u.resize(padded, 0);
  table.lead_index.resize(padded, 0);
  table.second_part.resize(padded, 0);
}

PairSplit split_for(const PairTable& table, std::uint32_t second_offset) {
  const std::uint32_t divisor = table.second_divisor;
  PairSplit split;
  split.split = table.rank[CLASS_SIZE - second_offset];
  split.low_row = second_offset % divisor;
  split.high_row = (second_offset + divisor - CLASS_SIZE % divisor) % divisor;
  return split;
}

}  // namespace shufflesort
