// What each draw must take for an attempt to come out in order, as tests
// that vector lanes can apply in any order, rarest first.
//
// Draw i must take the i-th smallest value. Group the draws by value: block
// t is the draws that take the c copies of the t-th smallest distinct value.
// When every earlier draw came out in order, the pool at the block's first
// draw holds exactly this value and the larger ones, in file order, so
// whether the block comes out right depends on the block's own draws only:
// the blocks are independent tests. Two kinds of block need no history:
//   - a block whose copies stand together in its first pool, at compacted
//     indices low .. low+c-1, keeps them together: its draw q must hit
//     low .. low+c-1-q (a window test per draw, one value alone included);
//   - the first draw of any block hits one of a known set of indices (a
//     mask test).
// The other blocks ("scattered") are judged draw after draw in lanes, each
// draw's compacted index mapped past the block's earlier draws.
#pragma once

#include <cstdint>

#include "max_values.h"

namespace shufflesort {

// Compacted pool indices as bits, 32 to a word.
constexpr int MASK_WORDS = (MAX_VALUES + 31) / 32;

// idx = r % divisor for a result r < 2^15, as r - divisor * ((r * magic) >>
// shift): with shift = 15 + ceil(log2 divisor) and magic = ceil(2^shift /
// divisor) the quotient is exact and r * magic stays below 2^32.
struct Remainder {
  std::uint32_t divisor = 1;
  std::uint32_t magic = 1u << 15;
  std::uint32_t shift = 15;
};

Remainder make_remainder(std::uint32_t divisor);

// One test of one draw that needs no earlier draw: the draw's compacted
// index must lie in [low, low + width), or, when `masked`, be a set bit of
// `mask`.
//
// The window is judged without the remainder: for x = r + divisor - low
// (below 2^16) and f = ceil(2^32 / divisor), (x * f) mod 2^32 is x's
// fraction of the divisor scaled to 2^32, exactly enough that x % divisor
// < width is (x * f) mod 2^32 < threshold, threshold = ceil(width * 2^32 /
// divisor): one multiply and a compare.
struct DrawTest {
  std::uint32_t draw = 0;
  std::uint32_t multiplier = 1;  // the generator stepped `draw` times, from
  std::uint32_t increment = 0;   // the state after the first draw
  Remainder remainder;
  std::uint32_t low = 0;
  std::uint32_t width = 1;
  std::uint32_t offset = 0;     // divisor - low
  std::uint32_t factor = 0;     // ceil(2^32 / divisor), or 0 when all pass
  std::uint32_t threshold = 1;  // ceil(width * 2^32 / divisor)
  bool masked = false;
  std::uint32_t mask[MASK_WORDS] = {};
  int mask_words = 1;  // in use
  double pass_chance = 1;
};

// Draws of a scattered block judged in lanes; the exact check does the rest.
constexpr std::uint32_t LANE_DEPTH = 16;

// A block whose copies are scattered among larger values in its first pool.
// A block with this many larger values or fewer in its first pool is
// "tracked": the lanes follow each larger value's compacted index through
// every draw of the block, which fails when it hits one.
constexpr std::uint32_t MAX_TRACKED = 8;

struct ScatteredBlock {
  std::uint32_t first_draw = 0;
  std::uint32_t copies = 0;
  std::uint32_t pool_size = 0;  // of the first pool
  std::uint32_t larger = 0;     // values in the first pool larger than the block's
  bool tracked = false;
  std::uint32_t larger_indices[MAX_TRACKED] = {};  // their compacted indices, when tracked
  std::uint32_t depth = 0;  // draws judged in lanes: LANE_DEPTH at most, or all when tracked
  // For each of those draws, the generator stepped to it from the state
  // after the attempt's first draw, and its remainder.
  std::uint32_t multipliers[LANE_DEPTH] = {};
  std::uint32_t increments[LANE_DEPTH] = {};
  Remainder remainders[LANE_DEPTH];
  std::uint32_t mask[MASK_WORDS] = {};  // first pool's indices holding the value
  int mask_words = 1;                   // in use
  double pass_chance = 1;               // of those draws
};

// The least pass chance of a scattered block's first draw for which
// judging every attempt on the whole block beats making only the
// candidates that pass that draw (measured: 0.45 and up gain, 0.33 loses
// twice over). Tracked blocks are judged whole whatever their chance.
constexpr double BLOCK_CLASS_CHANCE = 0.4;

// Tests judged together between two compactions of the candidate list: as
// many as it takes to keep about half the candidates or fewer (fewer per
// stage measured slower: more tests judged for lanes already failed), and
// at most MAX_STAGE_TESTS.
constexpr double STAGE_CHANCE = 1.0 / 2;
constexpr int MAX_STAGE_TESTS = 8;

// A run of tests judged together before the survivors are compacted: the
// draw tests [first_test, end_test), or the first `depth` draws of the
// scattered block `block`. A block is judged to depths 2, 4, 8, 16 in turn:
// most candidates fail early, and compacting in between keeps the lanes of
// the deeper, dearer stages full.
struct Stage {
  int first_test = 0;
  int end_test = 0;
  int block = -1;
  std::uint32_t depth = 0;
  // The block's first draw is the anchor, whose index the class search
  // knows for every candidate of a run: the lanes start at its second draw.
  bool anchor_drawn = false;
};

// Everything the lanes judge, in judging order.
struct DrawPlan {
  int count = 0;
  DrawTest tests[MAX_VALUES];  // at most one a draw, rarest first: tests[0] is the anchor
  int test_count = 0;
  ScatteredBlock blocks[MAX_VALUES / 2];  // each has two copies or more
  int block_count = 0;
  Stage stages[9 * MAX_VALUES];  // three times: see below
  int stage_count = 0;
  // The same stages without the anchor, whose test the class search meets
  // by construction: stages[class_stages_first ..).
  int class_stages_first = 0;
  // The same without the block judged whole per class and its first draw's
  // test, which the block class search meets first:
  // stages[block_class_stages_first ..).
  int block_class_stages_first = 0;
  int anchor_block = -1;  // the scattered block whose first draw is the anchor
  // The block that the class search judges whole per class, if any, and
  // its first draw's test.
  int class_block = -1;
  int class_block_test = -1;
  Remainder remainders[MAX_VALUES + 1];  // by divisor
};

// The window test of `test`, judging indices [low, low + width).
void set_window(DrawTest& test, std::uint32_t low, std::uint32_t width);

// The plan for `values` (count >= 2); `ascending` is them sorted.
void make_draw_plan(const Value* values, const Value* ascending, int count, DrawPlan& plan);

// Whether compacted index `index` passes `test`, as the lanes judge it.
bool passes(const DrawTest& test, std::uint32_t index);

}  // namespace shufflesort
