// The vector kernels: the lane judges compiled for each vector unit, and the
// choice among them.
#pragma once

#include <cstdint>

#include "search/draw_plan.h"
#include "search/scattered_lanes.h"
#include "search/search.h"
#include "search/stage_lanes.h"
#include "search/tracked_lanes.h"

namespace shufflesort {

// One arithmetic run of candidates in a residue class: candidate m (m <
// count) has k = (k_first + m * k_step) mod 2^15, its state after the first
// draw is base_state + (k * high_step) * 2^16, and its attempt (its tag) is
// the class plus k times the number of classes, 2^class_shift.
struct CandidateRun {
  std::uint32_t base_state;
  std::uint32_t high_step;
  std::uint32_t k_first;
  std::uint32_t k_step;
  std::uint32_t count;
  std::uint32_t anchor_index;  // the compacted index the anchor draw takes
  std::uint32_t class_index;
  std::uint32_t class_shift;
};

// Each kernel's entry points. The first two judge candidates as they make
// them on a first stage and append the survivors, tagged with their
// attempts, to `out` at `found`, returning the new end; `out` needs room for
// all of them plus a group of vectors. The third judges a list so made on
// the later stages, in place, and returns how many pass them all. Survivors
// are gathered over many runs before the later stages, so that those judge
// full vectors.
struct KernelFunctions {
  // The candidates of `run`, on the first class stage.
  std::uint32_t (*first_stage_of_run)(const DrawPlan& plan, const CandidateRun& run, Candidates out,
                                      std::uint32_t found);
  // `count` attempts in order from `first_attempt`, whose state after its
  // first draw is `first_state`, on the first stage.
  std::uint32_t (*first_stage_of_attempts)(const DrawPlan& plan, std::uint32_t first_state,
                                           std::uint32_t first_attempt, std::uint32_t count,
                                           Candidates out, std::uint32_t found);
  // Stages [first, end).
  std::uint32_t (*later_stages)(const DrawPlan& plan, int first, int end, Candidates list,
                                std::uint32_t count);
  // The candidates of `run` on the whole of `block`, in class lanes;
  // returns how many survive, their k first in `lists.k`.
  std::uint32_t (*block_of_class)(const ScatteredBlock& block, const BlockClass& run,
                                  const ClassLists& lists);
};

KernelFunctions kernel_functions(Kernel kernel);

}  // namespace shufflesort
