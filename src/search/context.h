// What one search shares between its ways of visiting the classes: the
// values, the plan, the kernel and the work space, all on the heap so that
// a search needs little stack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "search/class_lanes.h"
#include "search/classes.h"
#include "search/draw_plan.h"
#include "search/kernels.h"
#include "search/pair_table.h"

namespace shufflesort {

struct SearchContext {
  SearchContext(std::uint32_t seed, const Value* values, int count, Kernel kernel);

  // Whether the attempt starting at generator state `state` comes out in order.
  bool comes_out_in_order(std::uint32_t state) const;

  std::uint32_t seed;
  const Value* values;
  int count;
  std::vector<Value> ascending;
  std::unique_ptr<DrawPlan> plan;
  KernelFunctions kernel;
  std::unique_ptr<ClassDraws> draws;
  // The lists' space, left unset: a class writes what it reads.
  std::unique_ptr<std::uint16_t[]> u_lists;
  std::unique_ptr<std::uint8_t[]> byte_lists;
  ListPair lists;
};

// The first ordered attempt j in [0, limit) whose candidate number k in its
// class lies in [k_first, k_end), judging every such candidate: the
// attempts k_first * T .. k_end * T - 1, T the number of classes.
std::optional<std::uint64_t> search_range(SearchContext& search, std::uint32_t k_first,
                                          std::uint32_t k_end, std::uint64_t limit);

// The first ordered attempt in [0, limit), judging only the survivors of
// the plan's pair table, given that no candidate numbered below k_from in
// its class comes out in order (the ranges judged them).
std::optional<std::uint64_t> search_pairs(SearchContext& search, std::uint64_t limit,
                                          std::uint32_t k_from);

}  // namespace shufflesort
