// The attempt search, in two ways that share one judge of the first draws.
//
// Scan: each vector lane follows one attempt and judges its first draws
// against the values in ascending order; a lane that passes is a candidate,
// confirmed with the exact attempt check.
//
// Classes: write the state after an attempt's first draw as u = 2^16 h + l.
// With n = count = 2^v * odd, the low half l repeats every W = 2^(16-v)
// attempts, and W attempts later h has moved by an odd step d that depends
// only on l. So attempts j = r + k W (k < 2^15) form a residue class in
// which the result of draw i is (h_i + k a^i d) mod 2^15, a being the
// generator's multiplier. The first draw takes a smallest value, at file
// position g, only when its result is g + m n for some m, which fixes
// k = (g + m n - h_0) / d mod 2^15: each class yields its candidates
// directly, and the work is about a 1/n share of the scan's. (When the
// smallest value repeats, a later draw with a rarer value is used instead.)
#include "search.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(__x86_64__) || defined(__i386__)
#define SHUFFLESORT_X86 1
#include <immintrin.h>
#endif

#include "shuffle.h"

namespace shufflesort {

namespace {

// Draws judged for every candidate, then again, further, for those that
// pass, in stages: values that repeat a lot let many candidates through the
// first draws, and judging them in lanes is far cheaper than the exact
// check, while each stage costs about the square of its draws.
constexpr int FIRST_DRAWS = 3;
constexpr int SECOND_DRAWS = 5;
constexpr int DEEP_DRAWS = 8;
constexpr int DEEPEST_DRAWS = 16;
// Independent vectors advanced side by side in the scan, to hide latency.
constexpr int CHAINS = 4;
// The most lanes of any kernel.
constexpr int MAX_LANES = 16;
// The fewest attempts scanned in order before the search turns to residue
// classes. When the scan can use fixed targets it is cheap and its
// candidates rare, and it scans as many attempts as the classes hold
// candidates: that costs well under the class search and finds answers
// that come early sooner.
constexpr std::uint64_t SCAN_FIRST = std::uint64_t{1} << 22;
// Results are 15 bits: the residue classes count k modulo 2^15.
constexpr std::uint32_t RESULT_MODULUS = LCG_OUTPUT_MASK + 1;
// Position masks: 32 file positions to a word.
constexpr int POSITION_WORDS = (MAX_VALUES + 31) / 32;

// One draw as the lanes judge it. The compacted index is r % d for a result
// r < 2^15, computed as r - d * ((r * magic) >> shift): with shift = 15 +
// ceil(log2 d) and magic = ceil(2^shift / d) the quotient is exact and
// r * magic stays below 2^32. The index is then mapped past the positions
// already drawn to a file position, which must hold the value this draw
// must take: bit p of `positions` is set for each such position p.
struct DrawCheck {
  std::uint32_t divisor = 1;
  std::uint32_t magic = 1u << 15;
  std::uint32_t shift = 15;
  std::uint32_t positions[POSITION_WORDS] = {};
};

DrawCheck make_draw_check(std::uint32_t divisor) {
  std::uint32_t log2_ceiling = 0;
  while ((1u << log2_ceiling) < divisor) ++log2_ceiling;
  DrawCheck draw;
  draw.divisor = divisor;
  draw.shift = 15 + log2_ceiling;
  draw.magic =
      static_cast<std::uint32_t>(((std::uint64_t{1} << draw.shift) + divisor - 1) / divisor);
  return draw;
}

// A quicker judge for the scan, when each of the first draws' values occurs
// once: after those draws come out in order the pool is fixed, so each draw
// must hit one fixed compacted index g, and "r % d == g" is "(r + d - g)
// divisible by d", which is "((r + d - g) * ceil(2^32 / d)) mod 2^32 <
// ceil(2^32 / d)" for every r < 2^15: one multiply and a compare. A draw
// with d = 1 always hits and is given a test that always passes.
struct FixedDraw {
  std::uint32_t offset = 0;  // d - g
  std::uint32_t factor = 0;  // ceil(2^32 / d)
  std::uint32_t limit = 1;   // factor
};

FixedDraw make_fixed_draw(std::uint32_t divisor, std::uint32_t target) {
  if (divisor < 2) return {};
  const auto factor =
      static_cast<std::uint32_t>(((std::uint64_t{1} << 32) + divisor - 1) / divisor);
  return {divisor - target, factor, factor};
}

// The draws every attempt must make to come out in order: draw i takes the
// value ascending[i]. Draws past the last one pass at any position.
struct SearchPlan {
  DrawCheck draws[DEEPEST_DRAWS];
  int position_words = 1;     // words of the masks in use: (count + 31) / 32
  bool fixed_targets = true;  // the first draws' values each occur once
  FixedDraw fixed[FIRST_DRAWS];
};

SearchPlan make_plan(const Value* values, const Value* ascending, int count) {
  SearchPlan plan;
  plan.position_words = (count + 31) / 32;
  for (int i = 0; i < DEEPEST_DRAWS; ++i) {
    DrawCheck& draw = plan.draws[i];
    if (i >= count) {
      std::fill(std::begin(draw.positions), std::end(draw.positions), 0xFFFFFFFF);
      continue;
    }
    draw = make_draw_check(static_cast<std::uint32_t>(count - i));
    for (int p = 0; p < count; ++p) {
      if (values[p] == ascending[i]) draw.positions[p / 32] |= 1u << (p % 32);
    }
  }
  // The compacted index of the first draws: the position less the earlier
  // draws' positions before it.
  const Value* end = values + count;
  for (int i = 0; i < FIRST_DRAWS && i < count; ++i) {
    plan.fixed_targets = plan.fixed_targets && std::count(values, end, ascending[i]) == 1;
    const Value* position = std::find(values, end, ascending[i]);
    const auto earlier_before = std::count_if(ascending, ascending + i, [&](Value earlier) {
      return std::find(values, end, earlier) < position;
    });
    plan.fixed[i] = make_fixed_draw(static_cast<std::uint32_t>(count - i),
                                    static_cast<std::uint32_t>(position - values - earlier_before));
  }
  return plan;
}

// Vectors of 4, 8 and 16 lanes.
typedef std::uint32_t Lanes4 __attribute__((vector_size(16)));
typedef std::uint32_t Lanes8 __attribute__((vector_size(32)));
typedef std::uint32_t Lanes16 __attribute__((vector_size(64)));

// The helpers below take and return vectors by value. They are always
// inlined into the kernels, whose target enables the vector unit, so no call
// ever crosses the ABI boundary that GCC notes (silenced in the build).
#define SHUFFLESORT_INLINE __attribute__((always_inline)) inline

template <typename Vec>
SHUFFLESORT_INLINE Vec next_state(Vec state) {
  return state * LCG_MULTIPLIER + LCG_INCREMENT;
}

template <typename Vec>
SHUFFLESORT_INLINE Vec output_of(Vec state) {
  return (state >> LCG_OUTPUT_SHIFT) & LCG_OUTPUT_MASK;
}

template <typename Vec>
SHUFFLESORT_INLINE Vec remainder(Vec result, const DrawCheck& draw) {
  return result - ((result * draw.magic) >> draw.shift) * draw.divisor;
}

// All-ones in the lanes whose file position holds the draw's value.
// WORDS is how many words of the masks are in use.
template <typename Vec, int WORDS>
SHUFFLESORT_INLINE Vec passes(Vec position, const DrawCheck& draw) {
  Vec word = Vec{} + draw.positions[0];
  if (WORDS > 1) {
    const Vec word_index = position >> 5;
    for (int w = 1; w < WORDS; ++w) {
      const Vec here = (Vec)(word_index == static_cast<std::uint32_t>(w));
      word = (word & ~here) | (draw.positions[w] & here);
    }
  }
  return (Vec)(((word >> (position & 31)) & 1) != 0);
}

// All-ones in the lanes whose first DRAWS draws, with these results, each
// take a position holding the right value. `drawn` keeps the positions
// taken so far in ascending order, so that a compacted index maps to its
// file position by stepping past each of them in turn.
template <typename Vec, int DRAWS, int WORDS>
SHUFFLESORT_INLINE Vec judge_draws(const SearchPlan& plan, const Vec* results) {
  Vec drawn[DRAWS];
  Vec hit = ~Vec{};
  for (int i = 0; i < DRAWS; ++i) {
    Vec position = remainder(results[i], plan.draws[i]);
    for (int j = 0; j < i; ++j) position -= (Vec)(position >= drawn[j]);  // true is -1
    hit &= passes<Vec, WORDS>(position, plan.draws[i]);
    for (int j = 0; j < i; ++j) {
      const Vec lower = position < drawn[j] ? position : drawn[j];
      position = position < drawn[j] ? drawn[j] : position;
      drawn[j] = lower;
    }
    drawn[i] = position;
  }
  return hit;
}

// The same verdict as judge_draws for the first draws, by fixed targets;
// `state` is each lane's state after its first draw.
template <typename Vec>
SHUFFLESORT_INLINE Vec judge_fixed(const SearchPlan& plan, Vec state) {
  Vec hit = ~Vec{};
  for (int i = 0; i < FIRST_DRAWS; ++i) {
    if (i > 0) state = next_state(state);
    const FixedDraw& draw = plan.fixed[i];
    hit &= (Vec)(((output_of(state) + draw.offset) * draw.factor) < draw.limit);
  }
  return hit;
}

// Each lane's own index: 0, 1, 2, ...
template <typename Vec>
SHUFFLESORT_INLINE Vec lane_indices() {
  Vec index = {};
  for (std::uint32_t lane = 0; lane < sizeof(Vec) / sizeof(std::uint32_t); ++lane) {
    index[lane] = lane;
  }
  return index;
}

// Whether any lane is nonzero.
template <typename Vec>
SHUFFLESORT_INLINE bool any_lane(Vec lanes) {
  std::uint64_t words[sizeof(Vec) / sizeof(std::uint64_t)];
  std::memcpy(words, &lanes, sizeof words);
  return std::any_of(std::begin(words), std::end(words), [](std::uint64_t w) { return w != 0; });
}

// The scan's inputs and outputs for one kernel call. Lane i of chain c
// follows attempt `first + c * lanes + i`; `states` hold each one's state
// after its first draw, and `block_step` moves them all one block on.
struct ScanBlocks {
  std::uint32_t states[CHAINS * MAX_LANES];
  std::uint32_t candidates[CHAINS * MAX_LANES];  // nonzero for a candidate
  AffineMap block_step;
};

// Judges up to `blocks` blocks. Returns how many had no candidate; when that
// is less than `blocks`, the next block's candidates and states are left in
// `scan`, not yet moved on.
template <typename Vec, bool FIXED_TARGETS, int WORDS>
SHUFFLESORT_INLINE std::uint64_t scan_blocks(const SearchPlan& plan, ScanBlocks& scan,
                                             std::uint64_t blocks) {
  Vec state[CHAINS];
  std::memcpy(state, scan.states, sizeof state);
  for (std::uint64_t scanned = 0; scanned < blocks; ++scanned) {
    Vec hits[CHAINS];
    Vec any_hit = {};
    for (int c = 0; c < CHAINS; ++c) {
      if (FIXED_TARGETS) {
        hits[c] = judge_fixed(plan, state[c]);
      } else {
        Vec results[FIRST_DRAWS];
        Vec draw_state = state[c];
        for (int i = 0; i < FIRST_DRAWS; ++i) {
          if (i > 0) draw_state = next_state(draw_state);
          results[i] = output_of(draw_state);
        }
        hits[c] = judge_draws<Vec, FIRST_DRAWS, WORDS>(plan, results);
      }
      any_hit |= hits[c];
    }
    if (any_lane(any_hit)) {
      std::memcpy(scan.candidates, hits, sizeof hits);
      std::memcpy(scan.states, state, sizeof state);
      return scanned;
    }
    for (int c = 0; c < CHAINS; ++c) {
      state[c] = state[c] * scan.block_step.multiplier + scan.block_step.increment;
    }
  }
  std::memcpy(scan.states, state, sizeof state);
  return blocks;
}

// One arithmetic run of candidates in a residue class: candidate m (m <
// count) has k = (k_first + m * k_step) mod 2^15, and its draw i has the
// result (result_base[i] + k * result_step[i]) mod 2^15.
struct CandidateRun {
  std::uint32_t count;
  std::uint32_t k_first;
  std::uint32_t k_step;
  std::uint32_t result_base[DEEPEST_DRAWS];
  std::uint32_t result_step[DEEPEST_DRAWS];
};

template <typename Vec, int DRAWS, int WORDS>
SHUFFLESORT_INLINE Vec judge_candidates(const SearchPlan& plan, const CandidateRun& run, Vec k) {
  Vec results[DRAWS];
  for (int i = 0; i < DRAWS; ++i) {
    results[i] = (run.result_base[i] + k * run.result_step[i]) & LCG_OUTPUT_MASK;
  }
  return judge_draws<Vec, DRAWS, WORDS>(plan, results);
}

// Appends to `passing` the k of each lane set in `hit`, without branching
// on each lane: every lane is written, and only a hit moves the end on, so
// `passing` needs room for one vector past its last entry.
template <typename Vec>
SHUFFLESORT_INLINE void store_hits(const Vec& hit, const Vec& k, std::uint32_t* passing,
                                   std::uint32_t& found) {
  for (std::size_t lane = 0; lane < sizeof(Vec) / sizeof(std::uint32_t); ++lane) {
    passing[found] = k[lane];
    found += hit[lane] & 1;
  }
}

#ifdef SHUFFLESORT_X86
// The same with AVX-512: compress the hits into one register and store it
// whole, much quicker than sixteen scalar steps when most vectors hit (the
// memory form of compress is slow on some CPUs). Not forced inline, as the
// generic code around it is compiled for no particular vector unit, and
// taking references keeps the call clear of the vector ABI.
__attribute__((target("avx512f"))) void store_hits(const Lanes16& hit, const Lanes16& k,
                                                   std::uint32_t* passing, std::uint32_t& found) {
  const __mmask16 mask = _mm512_test_epi32_mask((__m512i)hit, (__m512i)hit);
  _mm512_storeu_si512(passing + found, _mm512_maskz_compress_epi32(mask, (__m512i)k));
  found += static_cast<std::uint32_t>(__builtin_popcount(mask));
}
#endif

template <typename Vec>
SHUFFLESORT_INLINE void collect(Vec hit, Vec k, std::uint32_t* passing, std::uint32_t& found) {
  if (any_lane(hit)) store_hits(hit, k, passing, found);
}

// Judges the `count` candidates of `run` listed in `passing` on their first
// DRAWS draws and keeps those that pass, in place; returns how many.
template <typename Vec, int DRAWS, int WORDS>
SHUFFLESORT_INLINE std::uint32_t judge_again(const SearchPlan& plan, const CandidateRun& run,
                                             std::uint32_t* passing, std::uint32_t count) {
  constexpr std::uint32_t LANES = sizeof(Vec) / sizeof(std::uint32_t);
  const Vec lane_index = lane_indices<Vec>();
  std::uint32_t kept = 0;
  for (std::uint32_t start = 0; start < count; start += LANES) {
    std::uint32_t lanes[LANES] = {};
    std::copy_n(passing + start, std::min(LANES, count - start), lanes);
    Vec k;
    std::memcpy(&k, lanes, sizeof k);
    const Vec in_list = (Vec)(lane_index + start < count);
    collect(judge_candidates<Vec, DRAWS, WORDS>(plan, run, k) & in_list, k, passing, kept);
  }
  return kept;
}

// Writes to `passing` the k of every candidate of `run` whose first
// DEEPEST_DRAWS draws pass, and returns how many there are.
template <typename Vec, int WORDS>
SHUFFLESORT_INLINE std::uint32_t judge_run(const SearchPlan& plan, const CandidateRun& run,
                                           std::uint32_t* passing) {
  constexpr std::uint32_t LANES = sizeof(Vec) / sizeof(std::uint32_t);
  const Vec lane_index = lane_indices<Vec>();
  Vec k = (run.k_first + lane_index * run.k_step) & LCG_OUTPUT_MASK;
  std::uint32_t found = 0;
  for (std::uint32_t start = 0; start < run.count; start += LANES) {
    const Vec in_run = (Vec)(lane_index + start < run.count);
    collect(judge_candidates<Vec, FIRST_DRAWS, WORDS>(plan, run, k) & in_run, k, passing, found);
    k = (k + LANES * run.k_step) & LCG_OUTPUT_MASK;
  }
  found = judge_again<Vec, SECOND_DRAWS, WORDS>(plan, run, passing, found);
  found = judge_again<Vec, DEEP_DRAWS, WORDS>(plan, run, passing, found);
  return judge_again<Vec, DEEPEST_DRAWS, WORDS>(plan, run, passing, found);
}

using ScanFunction = std::uint64_t (*)(const SearchPlan&, ScanBlocks&, std::uint64_t);
using RunFunction = std::uint32_t (*)(const SearchPlan&, const CandidateRun&, std::uint32_t*);

struct KernelFunctions {
  ScanFunction scan;
  RunFunction judge_run;
  int lanes;
};

// The two kernels of one vector unit, compiled for its target.
#define SHUFFLESORT_KERNEL(NAME, TARGET, VEC)                                                      \
  TARGET std::uint64_t scan_##NAME(const SearchPlan& plan, ScanBlocks& scan,                       \
                                   std::uint64_t blocks) {                                         \
    if (plan.fixed_targets) return scan_blocks<VEC, true, 1>(plan, scan, blocks);                  \
    return plan.position_words == 1 ? scan_blocks<VEC, false, 1>(plan, scan, blocks)               \
                                    : scan_blocks<VEC, false, POSITION_WORDS>(plan, scan, blocks); \
  }                                                                                                \
  TARGET std::uint32_t judge_run_##NAME(const SearchPlan& plan, const CandidateRun& run,           \
                                        std::uint32_t* passing) {                                  \
    switch (plan.position_words) {                                                                 \
      case 1:                                                                                      \
        return judge_run<VEC, 1>(plan, run, passing);                                              \
      case 2:                                                                                      \
        return judge_run<VEC, 2>(plan, run, passing);                                              \
      case 3:                                                                                      \
        return judge_run<VEC, 3>(plan, run, passing);                                              \
      default:                                                                                     \
        return judge_run<VEC, POSITION_WORDS>(plan, run, passing);                                 \
    }                                                                                              \
  }                                                                                                \
  constexpr KernelFunctions NAME##_functions{scan_##NAME, judge_run_##NAME,                        \
                                             sizeof(VEC) / sizeof(std::uint32_t)};

SHUFFLESORT_KERNEL(portable, , Lanes4)
#ifdef SHUFFLESORT_X86
SHUFFLESORT_KERNEL(avx2, __attribute__((target("avx2"))), Lanes8)
SHUFFLESORT_KERNEL(avx512, __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))), Lanes16)
#endif

KernelFunctions kernel_functions(Kernel kernel) {
#ifdef SHUFFLESORT_X86
  if (kernel == Kernel::avx512) return avx512_functions;
  if (kernel == Kernel::avx2) return avx2_functions;
#else
  static_cast<void>(kernel);
#endif
  return portable_functions;
}

// The draw whose results the class search enumerates. Any draw that is the
// first of its value may serve: when all earlier draws came out in order,
// the pool then holds exactly the values from this one up, in file order,
// so the compacted indices that take this value are fixed. The anchor is
// the draw where they are the smallest share of the pool.
struct Anchor {
  std::uint32_t draw = 0;
  std::uint32_t divisor = 1;               // the pool's size at that draw
  std::uint32_t indices[MAX_VALUES] = {};  // compacted indices taking the value
  std::uint32_t index_count = 0;
};

Anchor choose_anchor(const Value* values, const Value* ascending, int count) {
  Anchor best;
  for (int draw = 0; draw < count; ++draw) {
    if (draw > 0 && ascending[draw] == ascending[draw - 1]) continue;
    Anchor anchor;
    anchor.draw = static_cast<std::uint32_t>(draw);
    anchor.divisor = static_cast<std::uint32_t>(count - draw);
    std::uint32_t index = 0;
    for (int p = 0; p < count; ++p) {
      if (values[p] < ascending[draw]) continue;
      if (values[p] == ascending[draw]) anchor.indices[anchor.index_count++] = index;
      ++index;
    }
    // Compare index_count / divisor without dividing.
    if (best.index_count == 0 ||
        anchor.index_count * best.divisor < best.index_count * anchor.divisor) {
      best = anchor;
    }
  }
  return best;
}

// What every search needs: the values in ascending order, the plan and the
// anchor.
struct Search {
  Search(std::uint32_t seed, const Value* values, int count)
      : seed(seed), values(values), count(count) {
    std::copy(values, values + count, ascending);
    std::sort(ascending, ascending + count);
    plan = make_plan(values, ascending, count);
    anchor = choose_anchor(values, ascending, count);
  }

  // Confirms a candidate given the state after its first draw.
  bool comes_out_in_order(std::uint32_t state_after_first_draw) const {
    static const AffineMap undo_first_draw = inverse(generator_steps(1));
    return attempt_comes_out_in_order(undo_first_draw(state_after_first_draw), values, ascending,
                                      count);
  }

  std::uint32_t seed;
  const Value* values;
  int count;
  Value ascending[MAX_VALUES];
  SearchPlan plan;
  Anchor anchor;
};

std::optional<std::uint64_t> scan_attempts(const Search& search, std::uint64_t limit,
                                           const KernelFunctions& kernel) {
  const auto block = std::uint64_t{CHAINS} * static_cast<unsigned>(kernel.lanes);
  const auto steps_per_attempt = static_cast<std::uint64_t>(search.count);
  ScanBlocks scan{};
  scan.block_step = generator_steps(block * steps_per_attempt);
  const AffineMap next_attempt = generator_steps(steps_per_attempt);
  std::uint32_t state = generator_steps(1)(search.seed);  // attempt 0 after its first draw
  for (std::uint64_t lane = 0; lane < block; ++lane, state = next_attempt(state)) {
    scan.states[lane] = state;
  }
  const std::uint64_t blocks = (limit + block - 1) / block;
  for (std::uint64_t done = 0; done < blocks; ++done) {
    done += kernel.scan(search.plan, scan, blocks - done);
    if (done == blocks) break;
    for (std::uint64_t lane = 0; lane < block; ++lane) {
      const std::uint64_t attempt = done * block + lane;
      if (scan.candidates[lane] == 0) continue;
      if (attempt >= limit) return std::nullopt;
      if (search.comes_out_in_order(scan.states[lane])) return attempt;
    }
    for (std::uint64_t lane = 0; lane < block; ++lane) {
      scan.states[lane] = scan.block_step(scan.states[lane]);
    }
  }
  return std::nullopt;
}

// What the candidate runs of one residue class share: each draw's result
// steps by a^i * d from its result in the class's first attempt, `state`
// being that attempt's state after its first draw.
CandidateRun class_results(std::uint32_t state, std::uint32_t d) {
  CandidateRun run{};
  Generator generator{state};
  std::uint32_t step = d;
  for (int i = 0; i < DEEPEST_DRAWS; ++i) {
    run.result_base[i] = generator_output(generator.state);
    run.result_step[i] = step & LCG_OUTPUT_MASK;
    generator.next();
    step *= LCG_MULTIPLIER;
  }
  return run;
}

std::optional<std::uint64_t> search_classes(const Search& search, std::uint64_t limit,
                                            const KernelFunctions& kernel) {
  const auto n = static_cast<std::uint32_t>(search.count);
  const std::uint64_t classes = attempt_period(search.count) / RESULT_MODULUS;  // W
  const AffineMap next_attempt = generator_steps(n);
  const AffineMap next_in_class = generator_steps(classes * n);
  const Anchor& anchor = search.anchor;
  const AffineMap to_anchor = generator_steps(anchor.draw);
  std::uint64_t best = limit;
  std::uint32_t passing[RESULT_MODULUS + MAX_LANES];
  std::uint32_t state = generator_steps(1)(search.seed);  // attempt 0 after its first draw
  for (std::uint64_t r = 0; r < classes && r < best; ++r, state = next_attempt(state)) {
    // W attempts on the low half is back and the state has moved by d * 2^16.
    const std::uint32_t d = (next_in_class(state) - state) >> 16;
    CandidateRun run = class_results(state, d);
    // The anchor's result steps by a^draw * d, which is odd: dividing by it
    // turns the results the anchor may take into candidates' k.
    const std::uint32_t inverse_step = inverse(AffineMap{to_anchor.multiplier * d, 0}).multiplier;
    const std::uint32_t anchor_result = generator_output(to_anchor(state));
    run.k_step = (anchor.divisor * inverse_step) & LCG_OUTPUT_MASK;
    for (std::uint32_t i = 0; i < anchor.index_count; ++i) {
      // Results index, index + divisor, ... below 2^15 take this index.
      const std::uint32_t index = anchor.indices[i];
      run.count = (RESULT_MODULUS - index + anchor.divisor - 1) / anchor.divisor;
      run.k_first = ((index - anchor_result) * inverse_step) & LCG_OUTPUT_MASK;
      const std::uint32_t found = kernel.judge_run(search.plan, run, passing);
      for (std::uint32_t f = 0; f < found; ++f) {
        const std::uint64_t attempt = r + passing[f] * classes;
        if (attempt < best && search.comes_out_in_order(state + ((passing[f] * d) << 16))) {
          best = attempt;
        }
      }
    }
  }
  return best < limit ? std::optional<std::uint64_t>(best) : std::nullopt;
}

}  // namespace

std::uint64_t attempt_period(int count) {
  std::uint64_t period = std::uint64_t{1} << 31;
  for (unsigned n = static_cast<unsigned>(count); n % 2 == 0 && period > 1; n /= 2) period /= 2;
  return period;
}

const char* kernel_name(Kernel kernel) {
  switch (kernel) {
    case Kernel::avx512:
      return "avx512";
    case Kernel::avx2:
      return "avx2";
    case Kernel::portable:
      break;
  }
  return "portable";
}

std::vector<Kernel> supported_kernels() {
  std::vector<Kernel> kernels{Kernel::portable};
#ifdef SHUFFLESORT_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) kernels.push_back(Kernel::avx2);
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")) {
    kernels.push_back(Kernel::avx512);
  }
#endif
  return kernels;
}

Kernel widest_kernel() { return supported_kernels().back(); }

std::optional<std::uint64_t> first_ordered_attempt(std::uint32_t seed, const Value* values,
                                                   int count, std::uint64_t limit, Kernel kernel) {
  const Search search(seed, values, count);
  const KernelFunctions functions = kernel_functions(kernel);
  const std::uint64_t candidates =
      search.plan.fixed_targets
          ? attempt_period(count) * search.anchor.index_count / search.anchor.divisor
          : 0;
  const std::uint64_t scanned = std::min(limit, std::max(SCAN_FIRST, candidates));
  const std::optional<std::uint64_t> early = scan_attempts(search, scanned, functions);
  if (early || limit <= scanned) return early;
  return search_classes(search, limit, functions);
}

std::optional<std::uint64_t> first_ordered_attempt_by_scan(std::uint32_t seed, const Value* values,
                                                           int count, std::uint64_t limit,
                                                           Kernel kernel) {
  return scan_attempts(Search(seed, values, count), limit, kernel_functions(kernel));
}

std::optional<std::uint64_t> first_ordered_attempt_by_classes(std::uint32_t seed,
                                                              const Value* values, int count,
                                                              std::uint64_t limit, Kernel kernel) {
  return search_classes(Search(seed, values, count), limit, kernel_functions(kernel));
}

std::optional<std::uint64_t> first_ordered_attempt_by_replay(std::uint32_t seed,
                                                             const Value* values, int count,
                                                             std::uint64_t limit) {
  Generator generator;
  generator.seed(seed);
  Value pool[MAX_VALUES];
  Value shuffled[MAX_VALUES];
  Value scratch[MAX_VALUES];
  for (std::uint64_t attempt = 0; attempt < limit; ++attempt) {
    std::copy(values, values + count, pool);
    shuffle(generator, pool, count, shuffled, scratch);
    if (comes_out_in_order(shuffled, count)) return attempt;
  }
  return std::nullopt;
}

}  // namespace shufflesort
