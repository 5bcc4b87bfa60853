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

// Each kernel's entry points, one class at a time.
struct KernelFunctions {
  // Writes candidates u_first + m * u_step (mod 2^15), m < count, to the lists.
  void (*fill_range)(std::uint32_t u_first, std::uint32_t u_step, std::uint32_t count,
                     const ClassLists& lists);
  // Writes the survivors of a pair table for a class to the lists; returns
  // how many.
  std::uint32_t (*take_pairs)(const PairTable& table, const PairSplit& split,
                              const ClassLists& lists);
  // Judges `count` candidates in the lists on `stages`; returns how many
  // pass them all, first in the lists.
  std::uint32_t (*judge_stages)(const DrawPlan& plan, const StageList& stages,
                                const ClassDraws& draws, const ClassLists& lists,
                                std::uint32_t count);
};

KernelFunctions kernel_functions(Kernel kernel);

}  // namespace shufflesort
