// The kernels: the judges and candidate sources compiled for each vector
// unit, and the choice among them.
#pragma once

#include <cstdint>

#include "search/class_lanes.h"
#include "search/classes.h"
#include "search/draw_plan.h"
#include "search/pair_table.h"
#include "search/search.h"

namespace shufflesort {

// Each kernel's entry points, one class at a time: the class's candidates
// judged on `stages`, returning how many pass them all, their u first in
// the lists that then hold the candidates.
struct KernelFunctions {
  // Candidates u_first + m * u_step (mod 2^15), m < count.
  std::uint32_t (*judge_range)(const DrawPlan& plan, const StageList& stages,
                               const ClassDraws& draws, std::uint32_t u_first, std::uint32_t u_step,
                               std::uint32_t count, ListPair& lists);
  // The candidates that pass a pair table's two draws, split for the class,
  // numbered k_from or later; the first of `stages` is fixed tests or only
  // compacts (Stage::only_compacts), as the plan's stages after a pair.
  std::uint32_t (*judge_pairs)(const DrawPlan& plan, const StageList& stages,
                               const ClassDraws& draws, const PairTable& table,
                               const PairSplit& split, const CandidatesFrom& from, ListPair& lists);
};

KernelFunctions kernel_functions(Kernel kernel);

// The portable kernel as the plain target compiles it, on x86 without the
// byte shuffle of SSSE3 that kernel_functions uses where the CPU has it:
// for the tests, since the CPUs they run on have it.
KernelFunctions baseline_functions();

}  // namespace shufflesort
