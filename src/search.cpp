// The attempt search. Each vector lane follows one attempt and judges its
// first three draws; a lane whose draws all match the values in ascending
// order is a candidate, confirmed with the exact attempt check. Three draws
// leave about one candidate per n(n-1)(n-2) attempts, so nearly all the time
// goes into a few vector instructions per attempt.
#include "search.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "shuffle.h"

namespace shufflesort {

namespace {

// How many draws of each attempt the lanes judge.
constexpr int CHECKED_DRAWS = 3;
// Independent vectors advanced side by side, to hide multiply latency.
constexpr int CHAINS = 4;
// The most attempts judged per block, by the widest kernel.
constexpr int MAX_BLOCK = CHAINS * 16;
// Judging masks: every lane passes, or none does.
constexpr std::uint32_t ALL_PASS = 0xFFFFFFFF;
constexpr std::uint32_t NONE_PASS = 0;

// Draw i of an attempt that comes out in order takes ascending[i]. When the
// first three values are each unique in the file, the compacted index that
// each of those draws must hit is fixed, and the test "r % d == g" becomes
// "(r + d - g) divisible by d", which is "((r + d - g) * ceil(2^32 / d))
// mod 2^32 < ceil(2^32 / d)" for every r < 2^15: one multiply and a compare.
// A draw with d = 1 always hits and is given a test that always passes.
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

// With repeated values the draws are judged by file position instead: each
// lane computes the remainder r % d as r - d * ((r * magic) >> shift), which
// is exact for r < 2^15 with shift = 15 + ceil(log2 d) and keeps r * magic
// below 2^32, then maps it past the positions already drawn. A draw whose
// value is repeated may hit several positions and is left to the exact check.
struct PositionDraw {
  std::uint32_t divisor = 1;
  std::uint32_t magic = 1u << 15;
  std::uint32_t shift = 15;
  std::uint32_t target = 0;           // the file position that must be drawn
  std::uint32_t unjudged = ALL_PASS;  // ALL_PASS when the draw is not judged
};

PositionDraw make_position_draw(std::uint32_t divisor, std::uint32_t target, bool judged) {
  std::uint32_t log2_ceiling = 0;
  while ((1u << log2_ceiling) < divisor) ++log2_ceiling;
  const std::uint32_t shift = 15 + log2_ceiling;
  const auto magic =
      static_cast<std::uint32_t>(((std::uint64_t{1} << shift) + divisor - 1) / divisor);
  return {divisor, magic, shift, target, judged ? NONE_PASS : ALL_PASS};
}

// Everything the kernels need, fixed for one search.
struct SearchPlan {
  bool fixed_targets = false;
  FixedDraw fixed[CHECKED_DRAWS];
  PositionDraw positions[CHECKED_DRAWS];
  AffineMap block_step{1, 0};  // advances a lane by one block of attempts
};

SearchPlan make_plan(const Value* values, const Value* ascending, int count, int block) {
  SearchPlan plan;
  const Value* end = values + count;
  std::uint32_t drawn_positions[CHECKED_DRAWS] = {};
  plan.fixed_targets = true;
  for (int i = 0; i < CHECKED_DRAWS && i < count; ++i) {
    const bool unique = std::count(values, end, ascending[i]) == 1;
    const auto position = static_cast<std::uint32_t>(std::find(values, end, ascending[i]) - values);
    const auto divisor = static_cast<std::uint32_t>(count - i);
    plan.positions[i] = make_position_draw(divisor, position, unique);
    plan.fixed_targets = plan.fixed_targets && unique;
    // The compacted index: the position less the earlier draws before it.
    drawn_positions[i] = position;
    const auto earlier_below = static_cast<std::uint32_t>(std::count_if(
        drawn_positions, drawn_positions + i, [&](std::uint32_t p) { return p < position; }));
    plan.fixed[i] = make_fixed_draw(divisor, position - earlier_below);
  }
  plan.block_step =
      generator_steps(static_cast<std::uint64_t>(block) * static_cast<unsigned>(count));
  return plan;
}

// Vectors of 4, 8 and 16 lanes, one attempt per lane.
typedef std::uint32_t Lanes4 __attribute__((vector_size(16)));
typedef std::uint32_t Lanes8 __attribute__((vector_size(32)));
typedef std::uint32_t Lanes16 __attribute__((vector_size(64)));

// The helpers below take and return vectors by value. They are always
// inlined into the kernels, whose target enables the vector unit, so no call
// ever crosses the ABI boundary that GCC warns about.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define SHUFFLESORT_INLINE __attribute__((always_inline)) inline

template <typename Vec>
SHUFFLESORT_INLINE Vec next_state(Vec state) {
  return state * LCG_MULTIPLIER + LCG_INCREMENT;
}

template <typename Vec>
SHUFFLESORT_INLINE Vec output_of(Vec state) {
  return (state >> LCG_OUTPUT_SHIFT) & LCG_OUTPUT_MASK;
}

// All-ones in the lanes whose first draws hit their fixed compacted indices;
// `state` is each lane's generator state after its first draw.
template <typename Vec>
SHUFFLESORT_INLINE Vec judge_fixed(const SearchPlan& plan, Vec state) {
  Vec hit = ~Vec{};
  for (int i = 0; i < CHECKED_DRAWS; ++i) {
    if (i > 0) state = next_state(state);
    const FixedDraw& draw = plan.fixed[i];
    hit &= (Vec)(((output_of(state) + draw.offset) * draw.factor) < draw.limit);
  }
  return hit;
}

template <typename Vec>
SHUFFLESORT_INLINE Vec remainder(Vec r, const PositionDraw& draw) {
  return r - ((r * draw.magic) >> draw.shift) * draw.divisor;
}

// All-ones in the lanes whose first draws take their values from the right
// file positions, as far as those are fixed.
template <typename Vec>
SHUFFLESORT_INLINE Vec judge_positions(const SearchPlan& plan, Vec state) {
  const PositionDraw* draw = plan.positions;
  const Vec p0 = remainder(output_of(state), draw[0]);
  state = next_state(state);
  Vec p1 = remainder(output_of(state), draw[1]);
  p1 -= (Vec)(p1 >= p0);  // a true comparison is -1: step past p0
  state = next_state(state);
  Vec p2 = remainder(output_of(state), draw[2]);
  const Vec p0_first = (Vec)(p0 < p1);
  p2 -= (Vec)(p2 >= ((p0 & p0_first) | (p1 & ~p0_first)));  // past the lower one,
  p2 -= (Vec)(p2 >= ((p1 & p0_first) | (p0 & ~p0_first)));  // then the higher
  return ((Vec)(p0 == draw[0].target) | draw[0].unjudged) &
         ((Vec)(p1 == draw[1].target) | draw[1].unjudged) &
         ((Vec)(p2 == draw[2].target) | draw[2].unjudged);
}

// Judges `blocks` blocks of CHAINS vectors of attempts. `lane_states` holds,
// for each attempt of the current block, the generator state after its
// first draw. Returns how many blocks had no candidate; when that is less
// than `blocks`, the next block's flags are in `candidates` (nonzero for a
// candidate) and `lane_states` are that block's.
template <typename Vec, bool FIXED_TARGETS>
SHUFFLESORT_INLINE std::uint64_t scan_blocks(const SearchPlan& plan, std::uint32_t* lane_states,
                                             std::uint64_t blocks, std::uint32_t* candidates) {
  Vec state[CHAINS];
  std::memcpy(state, lane_states, sizeof state);
  for (std::uint64_t scanned = 0; scanned < blocks; ++scanned) {
    Vec hits[CHAINS];
    Vec any_hit = {};
    for (int c = 0; c < CHAINS; ++c) {
      hits[c] = FIXED_TARGETS ? judge_fixed(plan, state[c]) : judge_positions(plan, state[c]);
      any_hit |= hits[c];
    }
    std::uint64_t words[sizeof(Vec) / sizeof(std::uint64_t)];
    std::memcpy(words, &any_hit, sizeof words);
    if (std::any_of(std::begin(words), std::end(words), [](std::uint64_t w) { return w != 0; })) {
      std::memcpy(candidates, hits, sizeof hits);
      std::memcpy(lane_states, state, sizeof state);
      return scanned;
    }
    for (int c = 0; c < CHAINS; ++c) {
      state[c] = state[c] * plan.block_step.multiplier + plan.block_step.increment;
    }
  }
  std::memcpy(lane_states, state, sizeof state);
  return blocks;
}

template <typename Vec>
SHUFFLESORT_INLINE std::uint64_t scan(const SearchPlan& plan, std::uint32_t* lane_states,
                                      std::uint64_t blocks, std::uint32_t* candidates) {
  return plan.fixed_targets ? scan_blocks<Vec, true>(plan, lane_states, blocks, candidates)
                            : scan_blocks<Vec, false>(plan, lane_states, blocks, candidates);
}

using ScanFunction = std::uint64_t (*)(const SearchPlan&, std::uint32_t*, std::uint64_t,
                                       std::uint32_t*);

constexpr int PORTABLE_LANES = sizeof(Lanes4) / sizeof(std::uint32_t);
std::uint64_t scan_portable(const SearchPlan& plan, std::uint32_t* lane_states,
                            std::uint64_t blocks, std::uint32_t* candidates) {
  return scan<Lanes4>(plan, lane_states, blocks, candidates);
}

#if defined(__x86_64__) || defined(__i386__)
#define SHUFFLESORT_X86 1
constexpr int AVX2_LANES = sizeof(Lanes8) / sizeof(std::uint32_t);
constexpr int AVX512_LANES = sizeof(Lanes16) / sizeof(std::uint32_t);
__attribute__((target("avx2"))) std::uint64_t scan_avx2(const SearchPlan& plan,
                                                        std::uint32_t* lane_states,
                                                        std::uint64_t blocks,
                                                        std::uint32_t* candidates) {
  return scan<Lanes8>(plan, lane_states, blocks, candidates);
}
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) std::uint64_t scan_avx512(
    const SearchPlan& plan, std::uint32_t* lane_states, std::uint64_t blocks,
    std::uint32_t* candidates) {
  return scan<Lanes16>(plan, lane_states, blocks, candidates);
}
#endif

struct KernelInfo {
  ScanFunction scan;
  int lanes;
};

KernelInfo kernel_info(Kernel kernel) {
#ifdef SHUFFLESORT_X86
  if (kernel == Kernel::avx512) return {scan_avx512, AVX512_LANES};
  if (kernel == Kernel::avx2) return {scan_avx2, AVX2_LANES};
#else
  static_cast<void>(kernel);
#endif
  return {scan_portable, PORTABLE_LANES};
}

}  // namespace

std::uint64_t attempt_period(int count) {
  std::uint64_t period = std::uint64_t{1} << 31;
  for (unsigned n = static_cast<unsigned>(count); n % 2 == 0 && period > 1; n /= 2) period /= 2;
  return period;
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
  const KernelInfo info = kernel_info(kernel);
  const std::uint64_t block = std::uint64_t{CHAINS} * static_cast<unsigned>(info.lanes);
  Value ascending[MAX_VALUES];
  std::copy(values, values + count, ascending);
  std::sort(ascending, ascending + count);
  const SearchPlan plan = make_plan(values, ascending, count, static_cast<int>(block));
  const auto steps_per_attempt = static_cast<std::uint64_t>(count);
  const AffineMap undo_first_draw = inverse(generator_steps(1));

  std::uint32_t lane_states[MAX_BLOCK];
  for (std::uint64_t lane = 0; lane < block; ++lane) {
    lane_states[lane] = generator_steps(lane * steps_per_attempt + 1)(seed);
  }
  const std::uint64_t blocks = (limit + block - 1) / block;
  std::uint32_t candidates[MAX_BLOCK];
  for (std::uint64_t done = 0; done < blocks; ++done) {
    done += info.scan(plan, lane_states, blocks - done, candidates);
    if (done == blocks) break;
    for (std::uint64_t lane = 0; lane < block; ++lane) {
      const std::uint64_t attempt = done * block + lane;
      if (candidates[lane] == 0) continue;
      if (attempt >= limit) return std::nullopt;
      const std::uint32_t start = undo_first_draw(lane_states[lane]);
      if (attempt_comes_out_in_order(start, values, ascending, count)) return attempt;
    }
    for (std::uint64_t lane = 0; lane < block; ++lane) {
      lane_states[lane] = plan.block_step(lane_states[lane]);
    }
  }
  return std::nullopt;
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
