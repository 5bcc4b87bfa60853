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
__attribute__((flatten)) void fill_range_portable(std::uint32_t u_first, std::uint32_t u_step,
                                                  std::uint32_t count, const ClassLists& lists) {
  fill_range<Shorts8>(u_first, u_step, count, lists);
}
__attribute__((flatten)) std::uint32_t take_pairs_portable(const PairTable& table,
                                                           const PairSplit& split,
                                                           const ClassLists& lists) {
  return take_pairs<Shorts8>(table, split, lists);
}
__attribute__((flatten)) std::uint32_t judge_stages_portable(const DrawPlan& plan,
                                                             const StageList& stages,
                                                             const ClassDraws& draws,
                                                             const ClassLists& lists,
                                                             std::uint32_t count) {
  return judge_stages<Shorts8>(plan, stages, draws, lists, count);
}

#ifdef SHUFFLESORT_X86
#define SHUFFLESORT_AVX2 "avx2"
#define SHUFFLESORT_AVX512 "avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi,avx512vbmi2"

__attribute__((flatten, target(SHUFFLESORT_AVX2))) void fill_range_avx2(std::uint32_t u_first,
                                                                        std::uint32_t u_step,
                                                                        std::uint32_t count,
                                                                        const ClassLists& lists) {
  fill_range<Shorts16>(u_first, u_step, count, lists);
}
__attribute__((flatten, target(SHUFFLESORT_AVX2))) std::uint32_t take_pairs_avx2(
    const PairTable& table, const PairSplit& split, const ClassLists& lists) {
  return take_pairs<Shorts16>(table, split, lists);
}
__attribute__((flatten, target(SHUFFLESORT_AVX2))) std::uint32_t judge_stages_avx2(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, const ClassLists& lists,
    std::uint32_t count) {
  return judge_stages<Shorts16>(plan, stages, draws, lists, count);
}
__attribute__((flatten, target(SHUFFLESORT_AVX512))) void fill_range_avx512(
    std::uint32_t u_first, std::uint32_t u_step, std::uint32_t count, const ClassLists& lists) {
  fill_range<Shorts32>(u_first, u_step, count, lists);
}
__attribute__((flatten, target(SHUFFLESORT_AVX512))) std::uint32_t take_pairs_avx512(
    const PairTable& table, const PairSplit& split, const ClassLists& lists) {
  return take_pairs<Shorts32>(table, split, lists);
}
__attribute__((flatten, target(SHUFFLESORT_AVX512))) std::uint32_t judge_stages_avx512(
    const DrawPlan& plan, const StageList& stages, const ClassDraws& draws, const ClassLists& lists,
    std::uint32_t count) {
  return judge_stages<Shorts32>(plan, stages, draws, lists, count);
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
  if (kernel == Kernel::avx512) return {fill_range_avx512, take_pairs_avx512, judge_stages_avx512};
  if (kernel == Kernel::avx2) return {fill_range_avx2, take_pairs_avx2, judge_stages_avx2};
#else
  static_cast<void>(kernel);
#endif
  return {fill_range_portable, take_pairs_portable, judge_stages_portable};
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
  // The byte permutes of VBMI and the compress of VBMI2 as well, as on Ice
  // Lake, Sapphire Rapids and Zen 4.
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
