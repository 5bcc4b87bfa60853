// A pair table: the candidates of a class that pass two draws, found for
// every class from one table made before the search.
//
// Number a class's candidates by the lead draw's result u (classes.h). The
// lead passes when u % lead divisor is an index it allows, whatever the
// class: those u are the table's entries, the same for every class. The
// second draw's result is (v + f) mod 2^15 with v = M u mod 2^15, the same
// for every class, and f the class's offset. Sort the entries by v: for
// the entries with v < 2^15 - f the result is v + f, and for the rest
// v + f - 2^15, so the second draw's index is (v % divisor + rho) % divisor
// with one rho, f % divisor, for the first run of entries and another,
// (f - 2^15) % divisor, for the rest. So for each rho the table keeps, as
// bits, which entries then pass the second draw too; a class takes its
// survivors from two rows, split where v reaches 2^15 - f, without
// judging a single candidate. Two fixed tests pass each other's entries
// whatever the first index; the first two draws of a block pass when the
// second index, mapped past the first one's entry, holds the value.
// For two fixed tests, whose survivors carry nothing but their u, each
// row's passing entries are also kept as a list of their u: a class's
// survivors are then two runs of those lists, copied whole.
#pragma once

#include <cstdint>
#include <vector>

#include "search/draw_plan.h"

namespace shufflesort {

struct PairTable {
  std::uint32_t lead_divisor = 2;
  std::uint32_t second_divisor = 2;
  std::uint32_t multiplier = 1;  // M
  // Whether survivors carry the block's first two draws for its judge.
  bool carries_block = false;
  // The entries in order of v: u, its lead index, and v % second divisor,
  // each list padded with unused entries to whole words.
  std::vector<std::uint16_t> u;
  std::vector<std::uint8_t> lead_index;
  std::vector<std::uint8_t> second_part;
  std::uint32_t entries = 0;
  // rank[t]: how many entries have v < t, for t from 0 to 2^15.
  std::vector<std::uint16_t> rank;
  // Row rho (second_divisor of them, `words` 64-bit words each): bit j is
  // set when entry j passes the second draw with that rho.
  std::uint32_t words = 0;
  std::vector<std::uint64_t> passes;
  // For two fixed tests: the u of row rho's passing entries, from
  // passing_first[rho] on, and for each word of the row how many of them
  // stand in the words before it (words + 1 counts per row, the last
  // being the row's whole count).
  std::vector<std::uint16_t> passing_u;
  std::vector<std::uint32_t> passing_first;
  std::vector<std::uint16_t> passing_before;

  const std::uint64_t* row(std::uint32_t rho) const {
    const std::size_t first_word = std::size_t{rho} * words;
    return passes.data() + first_word;
  }
};

// Where a class with second-draw offset f splits the entries: entries below
// `split` take row `low_row`, the others `high_row`.
struct PairSplit {
  std::uint32_t split = 0;
  std::uint32_t low_row = 0;
  std::uint32_t high_row = 0;
};

// The table of `plan.pair` for classes numbered by the lead draw's result.
void make_pair_table(const DrawPlan& plan, PairTable& table);

PairSplit split_for(const PairTable& table, std::uint32_t second_offset);

// A class's survivors of a table of two fixed tests, in the order of the
// entries: the low row's passing entries below the split, then the high
// row's from it. None for a block's table, which keeps no lists.
struct PassingRuns {
  const std::uint16_t* low = nullptr;
  std::uint32_t low_count = 0;
  const std::uint16_t* high = nullptr;
  std::uint32_t high_count = 0;
};

PassingRuns passing_runs(const PairTable& table, const PairSplit& split);

}  // namespace shufflesort
