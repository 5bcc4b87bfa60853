// What each draw must take for an attempt to come out in order, as tests
// and judges that vector lanes can apply in any order, and the order that
// costs least (stage_order.h).
//
// Draw i must take the i-th smallest value. Group the draws by value: the
// block of a value is the draws that take its copies. When every earlier
// draw came out in order, the pool at the block's first draw holds exactly
// this value and the larger ones, in file order (the block's first pool),
// so whether the block comes out right depends on its own draws only: the
// blocks are independent tests. Some draws need no history at all ("fixed
// tests"): the first draw of any block must hit one of the value's indices
// in the first pool, and a block whose copies stand together keeps them
// together, so its draw q must hit the window low .. low+copies-1-q. The
// other draws of a block whose copies are scattered among larger values
// are judged draw after draw, each lane keeping what the block's earlier
// draws did (judges.h); its last draw also gets a fixed test that any
// ordered attempt passes (FixedTest).
#pragma once

#include <cstdint>

#include "max_values.h"

namespace shufflesort {

// A set of compacted pool indices, all below 128, as bits, and as the
// lanes look it up: 16 bytes of bits, and a byte of all-ones or zero for
// each index.
struct IndexSet {
  std::uint64_t words[2] = {};
  std::uint8_t bits[16] = {};
  std::uint8_t flags[128] = {};

  void add(std::uint32_t index) {
    words[index / 64] |= std::uint64_t{1} << (index % 64);
    bits[index / 8] |= static_cast<std::uint8_t>(1u << (index % 8));
    flags[index] = 0xFF;
  }
  bool has(std::uint32_t index) const { return ((words[index / 64] >> (index % 64)) & 1) != 0; }
};

// r % divisor for a result r < 2^15 in 16-bit lanes: the quotient is
// ((r * magic) >> 16) >> shift, with shift = ceil(log2 divisor) - 1 and
// magic = ceil(2^(16 + shift) / divisor), which is below 2^16 and exact
// for every r below 2^15 and every divisor from 2 to 128.
struct Divisor {
  std::uint16_t divisor = 2;
  std::uint16_t magic = 1u << 15;
  std::uint16_t shift = 0;
};

Divisor make_divisor(std::uint32_t divisor);

// A draw judged on its own: its compacted index must be in `allowed`. The
// first draw of a scattered block (`block`) is judged by the block's own
// judge, and by a pair table; the others are judged in stages of their
// own. Most are exact: a window of copies that stand together, or the
// first draw of a block. The last draw of a scattered block is judged too,
// by a test that any ordered attempt passes but others may pass as well:
// seen from the end, the shuffle puts the block's last copy back among the
// larger values, so its index must be a gap between them that holds a copy.
struct FixedTest {
  std::uint32_t draw = 0;
  std::uint32_t pool_size = 0;  // the divisor of the draw's result
  IndexSet allowed;
  int block = -1;
  double pass_chance = 1;
};

// A block with at most this many larger values in its first pool is
// "tracked": each lane follows the larger values' compacted indices, and a
// draw fails when it takes one of them. Each costs every lane a few
// operations a draw, so blocks with more are judged otherwise.
constexpr std::uint32_t MAX_TRACKED = 16;
// A scattered block's lanes carry one byte for each of its earlier draws,
// up to this many; the exact check judges what passes them.
constexpr std::uint32_t MAX_DEPTH = 64;

// A block whose copies are scattered among larger values in its first pool.
struct ScatteredBlock {
  std::uint32_t first_draw = 0;
  std::uint32_t copies = 0;
  std::uint32_t pool_size = 0;  // of the first pool
  IndexSet values;              // the first pool's indices holding the block's value
  std::uint32_t larger = 0;     // values in the first pool larger than the block's
  bool tracked = false;
  std::uint8_t larger_indices[MAX_TRACKED] = {};  // their indices, when few enough to track
  double pass_chance = 1;                         // of the whole block
  // Draws judged between two compactions of the survivors.
  std::uint32_t chunk = 2;
};

// Two draws judged at once by a pair table (pair_table.h): two fixed tests,
// or the first two draws of a scattered block.
struct DrawPair {
  bool used = false;
  std::uint32_t lead_draw = 0;
  std::uint32_t second_draw = 0;
  int lead_test = -1;
  int second_test = -1;  // -1 when the pair is a block's
  int block = -1;        // that block
  double pass_chance = 1;
};

// The most fixed tests judged before the survivors are compacted, and the
// share of candidates at which a stage of them stops.
constexpr int MAX_STAGE_TESTS = 8;
constexpr double STAGE_CHANCE = 0.5;

// One stage of judging: fixed tests, or a scattered block from its draw
// `from` on (the draws before it already judged, and carried by the
// lanes). Test stages before the pair's block keep the two bytes its
// lanes carry (`keeps`). A stage of no tests passes every candidate and
// only compacts them: it goes first after a pair table, unless fixed tests
// come first and most of the table's entries pass (stage_order.cpp).
struct Stage {
  int tests[MAX_STAGE_TESTS] = {};
  int test_count = 0;
  int block = -1;
  std::uint32_t from = 0;
  std::uint32_t keeps = 0;

  bool only_compacts() const { return block < 0 && test_count == 0; }
};

// The stages in judging order, and what they cost a candidate on average,
// in lane cycles (see stage_order.cpp).
struct StageList {
  Stage stages[MAX_VALUES] = {};
  int count = 0;
  double cost = 0;
};

struct DrawPlan {
  int count = 0;
  FixedTest tests[MAX_VALUES];
  int test_count = 0;
  ScatteredBlock blocks[MAX_VALUES / 2];
  int block_count = 0;
  // Every test and block, for candidates of any kind.
  StageList all_stages;
  // What the pair leaves, for the candidates of a pair table.
  DrawPair pair;
  StageList after_pair;
  // What judging an attempt costs on average, in lane cycles: every stage,
  // or the pair table and the stages after it.
  double cost_without_pair = 0;
  double cost_with_pair = 0;
  Divisor divisors[MAX_VALUES + 1];  // by divisor
};

// Chooses how `block` is judged from its draw `from` on (0, or 2 after a
// pair table): tracked when that costs less, and its chunk of draws.
void choose_judge(ScatteredBlock& block, std::uint32_t from);

// The plan for `values` (count >= 2); `ascending` is them sorted.
void make_draw_plan(const Value* values, const Value* ascending, int count, DrawPlan& plan);

// Whether any attempt can fail: false when all the values are equal.
inline bool any_test(const DrawPlan& plan) { return plan.test_count > 0; }

}  // namespace shufflesort
