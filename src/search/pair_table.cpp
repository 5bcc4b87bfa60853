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

// Each row's passing entries as a list of their u, with how many stand
// before each word, for a table of two fixed tests; a block's table keeps
// none, as its survivors carry bytes.
void make_passing_lists(PairTable& table) {
  table.passing_u.clear();
  table.passing_first.clear();
  table.passing_before.clear();
  if (table.carries_block) return;
  const std::uint32_t counts = table.words + 1;
  table.passing_first.assign(table.second_divisor + 1, 0);
  table.passing_before.assign(std::size_t{table.second_divisor} * counts, 0);
  for (std::uint32_t rho = 0; rho < table.second_divisor; ++rho) {
    const auto first = static_cast<std::uint32_t>(table.passing_u.size());
    table.passing_first[rho] = first;
    for (std::uint32_t word = 0; word < counts; ++word) {
      table.passing_before[std::size_t{rho} * counts + word] =
          static_cast<std::uint16_t>(table.passing_u.size() - first);
      if (word == table.words) break;
      for (std::uint64_t bits = table.row(rho)[word]; bits != 0; bits &= bits - 1) {
        table.passing_u.push_back(table.u[word * 64 + __builtin_ctzll(bits)]);
      }
    }
  }
  table.passing_first[table.second_divisor] = static_cast<std::uint32_t>(table.passing_u.size());
}

// How many of row rho's passing entries stand below entry j.
std::uint32_t passing_below(const PairTable& table, std::uint32_t rho, std::uint32_t j) {
  const std::uint32_t word = j / 64;
  const std::size_t row_counts = static_cast<std::size_t>(rho) * (table.words + 1);
  const std::uint32_t in_earlier_words = table.passing_before[row_counts + word];
  if (j % 64 == 0) return in_earlier_words;  // the row may have no such word
  const std::uint64_t lower = (std::uint64_t{1} << (j % 64)) - 1;
  return in_earlier_words +
         static_cast<std::uint32_t>(__builtin_popcountll(table.row(rho)[word] & lower));
}

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
  make_passing_lists(table);
}

PairSplit split_for(const PairTable& table, std::uint32_t second_offset) {
  const std::uint32_t divisor = table.second_divisor;
  PairSplit split;
  split.split = table.rank[CLASS_SIZE - second_offset];
  split.low_row = second_offset % divisor;
  split.high_row = (second_offset + divisor - CLASS_SIZE % divisor) % divisor;
  return split;
}

PassingRuns passing_runs(const PairTable& table, const PairSplit& split) {
  if (table.passing_first.empty()) return PassingRuns{};  // a block's table keeps no lists
  const std::uint16_t* lists = table.passing_u.data();
  const std::uint32_t high_first = table.passing_first[split.high_row];
  const std::uint32_t high_skipped = passing_below(table, split.high_row, split.split);
  PassingRuns runs;
  runs.low = lists + table.passing_first[split.low_row];
  runs.low_count = passing_below(table, split.low_row, split.split);
  runs.high = lists + high_first + high_skipped;
  runs.high_count = table.passing_first[split.high_row + 1] - high_first - high_skipped;
  return runs;
}

}  // namespace shufflesort
