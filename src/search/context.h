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

// Where the search of every class hands over from the ranges to the pair
// table: the ranges judge the candidates numbered below k_stop in every
// class, and the table leaves out those below k_left_out (k_stop, or 0 when
// telling them apart would cost more than judging them again). Without a
// pair table the ranges go on through the whole class.
struct PairHandover {
  std::uint32_t k_stop = CLASS_SIZE;
  std::uint32_t k_left_out = 0;
};
PairHandover pair_handover(const DrawPlan& plan, int count);

}  // namespace shufflesort
