// The kernels: the lane judges of lanes.h compiled once for each vector unit
// (AVX-512, AVX2, and a portable fallback that the compiler maps to SSE2,
// NEON or whatever the target has), and the run-time choice among them.
#include "search/kernels.h"

#include <string_view>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define SHUFFLESORT_X86 1
#include <immintrin.h>
#endif

namespace shufflesort {

#ifdef SHUFFLESORT_X86
// Compresses the hits into one register and stores it whole, much quicker
// than sixteen scalar steps when most lanes hit (the memory form of
// compress is slow on some CPUs).
__attribute__((target("avx512f"))) void append_hits(const Lanes16& hit, const Lanes16& state,
                                                    const Lanes16& tag, Candidates out,
                                                    std::uint32_t& found) {
  const __mmask16 mask = _mm512_test_epi32_mask((__m512i)hit, (__m512i)hit);
  _mm512_storeu_si512(out.states + found, _mm512_maskz_compress_epi32(mask, (__m512i)state));
  _mm512_storeu_si512(out.tags + found, _mm512_maskz_compress_epi32(mask, (__m512i)tag));
  found += static_cast<std::uint32_t>(__builtin_popcount(mask));
}
#endif

namespace {

// The states of a group of a run's candidates, and their attempts as tags.
template <typename Vec>
SHUFFLESORT_LANE_INLINE void run_group(const CandidateRun& run, std::uint32_t start,
                                       Group<Vec>& state, Group<Vec>& attempt) {
  const Group<Vec> index = group_indices<Vec>();
  for (int g = 0; g < GROUP; ++g) {
    const Vec k = (run.k_first + (index.lanes[g] + start) * run.k_step) & LCG_OUTPUT_MASK;
    state.lanes[g] = run.base_state + ((k * run.high_step) << 16);
    attempt.lanes[g] = (k << run.class_shift) | run.class_index;
  }
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE std::uint32_t first_stage_of_run(const DrawPlan& plan,
                                                         const CandidateRun& run, Candidates out,
                                                         std::uint32_t found) {
  constexpr std::uint32_t STRIDE = GROUP * LANES<Vec>;
  const int first = plan.class_stages_first;
  const bool anchor_only = first == plan.stage_count;
  for (std::uint32_t start = 0; start < run.count; start += STRIDE) {
    Group<Vec> state;
    Group<Vec> attempt;
    run_group(run, start, state, attempt);
    Group<Vec> hit = group_below<Vec>(start, run.count);
    if (!anchor_only) {
      stage_passes<Vec>(plan, plan.stages[first], run.anchor_index, state, hit);
    }
    collect(hit, state, attempt, out, found);
  }
  return found;
}

template <typename Vec>
SHUFFLESORT_LANE_INLINE std::uint32_t first_stage_of_attempts(const DrawPlan& plan,
                                                              std::uint32_t first_state,
                                                              std::uint32_t first_attempt,
                                                              std::uint32_t count, Candidates out,
                                                              std::uint32_t found) {
  constexpr std::uint32_t STRIDE = GROUP * LANES<Vec>;
  const auto steps_per_attempt = static_cast<std::uint64_t>(plan.count);
  const AffineMap next_attempt = generator_steps(steps_per_attempt);
  const AffineMap next_group = generator_steps(steps_per_attempt * STRIDE);
  Group<Vec> state;
  for (std::uint32_t lane = 0; lane < STRIDE; ++lane) {
    state.lanes[lane / LANES<Vec>][lane % LANES<Vec>] = first_state;
    first_state = next_attempt(first_state);
  }
  const Group<Vec> index = group_indices<Vec>();
  for (std::uint32_t start = 0; start < count; start += STRIDE) {
    Group<Vec> attempt;
    for (int g = 0; g < GROUP; ++g) attempt.lanes[g] = index.lanes[g] + (first_attempt + start);
    Group<Vec> hit = group_below<Vec>(start, count);
    stage_passes<Vec>(plan, plan.stages[0], 0, state, hit);
    collect(hit, state, attempt, out, found);
    for (int g = 0; g < GROUP; ++g) {
      state.lanes[g] = state.lanes[g] * next_group.multiplier + next_group.increment;
    }
  }
  return found;
}

// The block judged whole per class; a tracked one follows exactly as many larger values
// as it has: each costs every lane four operations a draw.
template <typename Vec>
SHUFFLESORT_LANE_INLINE std::uint32_t block_of_class(const ScatteredBlock& block,
                                                     const BlockClass& run,
                                                     const ClassLists& lists) {
  if (!block.tracked) return scattered_block_of_class<Vec>(block, run, lists);
  switch (block.larger) {
    case 1:
      return tracked_block_of_class<Vec, 1>(block, run, lists);
    case 2:
      return tracked_block_of_class<Vec, 2>(block, run, lists);
    case 3:
      return tracked_block_of_class<Vec, 3>(block, run, lists);
    case 4:
      return tracked_block_of_class<Vec, 4>(block, run, lists);
    case 5:
      return tracked_block_of_class<Vec, 5>(block, run, lists);
    case 6:
      return tracked_block_of_class<Vec, 6>(block, run, lists);
    case 7:
      return tracked_block_of_class<Vec, 7>(block, run, lists);
    default:
      return tracked_block_of_class<Vec, MAX_TRACKED>(block, run, lists);
  }
}

// Each vector unit's entry points, every one flattened into its target.
__attribute__((flatten)) std::uint32_t first_stage_of_run_portable(const DrawPlan& plan,
                                                                   const CandidateRun& run,
                                                                   Candidates out,
                                                                   std::uint32_t found) {
  return first_stage_of_run<Lanes4>(plan, run, out, found);
}
__attribute__((flatten)) std::uint32_t first_stage_of_attempts_portable(
    const DrawPlan& plan, std::uint32_t first_state, std::uint32_t first_attempt,
    std::uint32_t count, Candidates out, std::uint32_t found) {
  return first_stage_of_attempts<Lanes4>(plan, first_state, first_attempt, count, out, found);
}
__attribute__((flatten)) std::uint32_t later_stages_portable(const DrawPlan& plan, int first,
                                                             int end, Candidates list,
                                                             std::uint32_t count) {
  return judge_stages<Lanes4>(plan, first, end, list, count);
}
__attribute__((flatten)) std::uint32_t block_of_class_portable(const ScatteredBlock& block,
                                                               const BlockClass& run,
                                                               const ClassLists& lists) {
  return block_of_class<Shorts8>(block, run, lists);
}

#ifdef SHUFFLESORT_X86
__attribute__((flatten, target("avx2"))) std::uint32_t first_stage_of_run_avx2(
    const DrawPlan& plan, const CandidateRun& run, Candidates out, std::uint32_t found) {
  return first_stage_of_run<Lanes8>(plan, run, out, found);
}
__attribute__((flatten, target("avx2"))) std::uint32_t first_stage_of_attempts_avx2(
    const DrawPlan& plan, std::uint32_t first_state, std::uint32_t first_attempt,
    std::uint32_t count, Candidates out, std::uint32_t found) {
  return first_stage_of_attempts<Lanes8>(plan, first_state, first_attempt, count, out, found);
}
__attribute__((flatten, target("avx2"))) std::uint32_t later_stages_avx2(const DrawPlan& plan,
                                                                         int first, int end,
                                                                         Candidates list,
                                                                         std::uint32_t count) {
  return judge_stages<Lanes8>(plan, first, end, list, count);
}
__attribute__((flatten, target("avx2"))) std::uint32_t block_of_class_avx2(
    const ScatteredBlock& block, const BlockClass& run, const ClassLists& lists) {
  return block_of_class<Shorts16>(block, run, lists);
}
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq"))) std::uint32_t
first_stage_of_run_avx512(const DrawPlan& plan, const CandidateRun& run, Candidates out,
                          std::uint32_t found) {
  return first_stage_of_run<Lanes16>(plan, run, out, found);
}
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq"))) std::uint32_t
first_stage_of_attempts_avx512(const DrawPlan& plan, std::uint32_t first_state,
                               std::uint32_t first_attempt, std::uint32_t count, Candidates out,
                               std::uint32_t found) {
  return first_stage_of_attempts<Lanes16>(plan, first_state, first_attempt, count, out, found);
}
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq"))) std::uint32_t
later_stages_avx512(const DrawPlan& plan, int first, int end, Candidates list,
                    std::uint32_t count) {
  return judge_stages<Lanes16>(plan, first, end, list, count);
}
// The byte permute of AVX-512 VBMI and the compress of VBMI2 serve the
// tracked judge.
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi,avx512vbmi2")))
std::uint32_t
block_of_class_avx512(const ScatteredBlock& block, const BlockClass& run, const ClassLists& lists) {
  return block_of_class<Shorts32>(block, run, lists);
}

bool has_avx512_vbmi2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
}
#endif

// The kernel that the build fixes, if any (the CMake option SHUFFLESORT_KERNEL).
#ifdef SHUFFLESORT_FIXED_KERNEL
constexpr std::string_view FIXED_KERNEL = SHUFFLESORT_FIXED_KERNEL;
#else
constexpr std::string_view FIXED_KERNEL;
#endif

}  // namespace

KernelFunctions kernel_functions(Kernel kernel) {
#ifdef SHUFFLESORT_X86
  if (kernel == Kernel::avx512) {
    return {first_stage_of_run_avx512, first_stage_of_attempts_avx512, later_stages_avx512,
            has_avx512_vbmi2() ? block_of_class_avx512 : block_of_class_avx2};
  }
  if (kernel == Kernel::avx2) {
    return {first_stage_of_run_avx2, first_stage_of_attempts_avx2, later_stages_avx2,
            block_of_class_avx2};
  }
#else
  static_cast<void>(kernel);
#endif
  return {first_stage_of_run_portable, first_stage_of_attempts_portable, later_stages_portable,
          block_of_class_portable};
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

Kernel widest_kernel() {
  const std::vector<Kernel> kernels = supported_kernels();
  if (!FIXED_KERNEL.empty()) {
    // The fixed kernel, or the widest below it that this CPU has.
    Kernel chosen = Kernel::portable;
    for (Kernel kernel : kernels) {
      chosen = kernel;
      if (kernel_name(kernel) == FIXED_KERNEL) break;
    }
    return chosen;
  }
  return kernels.back();
}

}  // namespace shufflesort
