// The kernels: the lane templates compiled once for each vector unit
// (AVX-512, AVX2, and a portable fallback that the compiler maps to SSE2,
// NEON or whatever the target has), and the run-time choice among them.
#include "search/kernels.h"

#include <string_view>
#include <vector>

#include "search/judges.h"
#include "search/sources.h"

namespace shufflesort {

namespace {

// Each vector unit's entry points, every one flattened into its target.
template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_range(const DrawPlan& plan, const StageList& stages,
                                                  const ClassDraws& draws, std::uint32_t u_first,
                                                  std::uint32_t u_step, std::uint32_t count,
                                                  ListPair& lists) {
  return judge_stages<KVec>(plan, stages, 0, draws, RangeGroups{u_first, u_step, count}, lists);
}

template <typename KVec>
SHUFFLESORT_LANE_INLINE std::uint32_t judge_pairs(const DrawPlan& plan, const StageList& stages,
                                                  const ClassDraws& draws, const PairTable& table,
                                                  const PairSplit& split,
                                                  const CandidatesFrom& from, ListPair& lists) {
  return judge_pair_stages<KVec>(plan, stages, draws, PairGroups{table, split, from}, lists);
}

// Not flattened: without SSSE3 the compiler spills every byte shuffle to
// the stack, and the flattened kernel's frame would take some 90 KiB. As
// separate functions the judges take a few KiB each, one at a time.
std::uint32_t judge_range_portable(const DrawPlan& plan, const StageList& stages,
                                   const ClassDraws& draws, std::uint32_t u_first,
                                   std::uint32_t u_step, std::uint32_t count, ListPair& lists) {
  return judge_range<Shorts8>(plan, stages, draws, u_first, u_step, count, lists);
}
std::uint32_t judge_pairs_portable(const DrawPlan& plan, const StageList& stages,
                                   const ClassDraws& draws, const PairTable& table,
                                   const PairSplit& split, const CandidatesFrom& from,
                                   ListPair& lists) {
  return judge_pairs<Shorts8>(plan, stages, draws, table, split, from, lists);
}

#ifdef SHUFFLESORT_X86
// The portable kernel again for SSSE3, whose byte shuffle the compiler
// uses for the look-ups and the compaction that SSE2 must do lane by lane.
__attribute__((flatten, target("ssse3"))) std::uint32_t judge_range_ssse3(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, std::uint32_t u_first,
    std::uint32_t u_step, std::uint32_t count, ListPair& lists) {
  return judge_range<Shorts8>(plan, stages, draws, u_first, u_step, count, lists);
}
__attribute__((flatten, target("ssse3"))) std::uint32_t judge_pairs_ssse3(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, const PairTable& table,
    const PairSplit& split, const CandidatesFrom& from, ListPair& lists) {
  return judge_pairs<Shorts8>(plan, stages, draws, table, split, from, lists);
}
__attribute__((flatten, target("avx2"))) std::uint32_t judge_range_avx2(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, std::uint32_t u_first,
    std::uint32_t u_step, std::uint32_t count, ListPair& lists) {
  return judge_range<Shorts16>(plan, stages, draws, u_first, u_step, count, lists);
}
__attribute__((flatten, target("avx2"))) std::uint32_t judge_pairs_avx2(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, const PairTable& table,
    const PairSplit& split, const CandidatesFrom& from, ListPair& lists) {
  return judge_pairs<Shorts16>(plan, stages, draws, table, split, from, lists);
}
// AVX-512 with the byte permutes of VBMI and the compress of VBMI2, as on
// Ice Lake, Sapphire Rapids and Zen 4.
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi,avx512vbmi2")))
std::uint32_t
judge_range_avx512(const DrawPlan& plan, const StageList& stages, const ClassDraws& draws,
                   std::uint32_t u_first, std::uint32_t u_step, std::uint32_t count,
                   ListPair& lists) {
  return judge_range<Shorts32>(plan, stages, draws, u_first, u_step, count, lists);
}
__attribute__((flatten, target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi,avx512vbmi2")))
std::uint32_t
judge_pairs_avx512(const DrawPlan& plan, const StageList& stages, const ClassDraws& draws,
                   const PairTable& table, const PairSplit& split, const CandidatesFrom& from,
                   ListPair& lists) {
  return judge_pairs<Shorts32>(plan, stages, draws, table, split, from, lists);
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
  if (kernel == Kernel::avx512) return {judge_range_avx512, judge_pairs_avx512};
  if (kernel == Kernel::avx2) return {judge_range_avx2, judge_pairs_avx2};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3")) return {judge_range_ssse3, judge_pairs_ssse3};
#else
  static_cast<void>(kernel);
#endif
  return baseline_functions();
}

KernelFunctions baseline_functions() { return {judge_range_portable, judge_pairs_portable}; }

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
  // The byte permutes of VBMI and the compress of VBMI2 as well.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2")) {
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
