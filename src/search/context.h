// What the scan and the class search share for one search: the values, the
// draw plan, the kernel and the candidate lists, all on the heap so that a
// search needs little stack.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "search/class_lanes.h"
#include "search/draw_plan.h"
#include "search/kernels.h"

namespace shufflesort {

// The most candidates a first stage makes in one call: a scan chunk, or a
// class run (at most 2^15 / 2 for an anchor draw from two values or more).
constexpr std::uint32_t CHUNK = 1u << 15;
// Survivors of first stages gathered before the later stages judge them.
constexpr std::uint32_t BATCH = 1u << 16;
// The candidate lists' size: a batch, one more call, and room past the last
// candidate for the widest group of vectors.
constexpr std::uint32_t LIST_SIZE = BATCH + CHUNK + GROUP * 16;
// Each class survivor list's size: a whole class and two vectors past it.
constexpr std::uint32_t CLASS_LIST_SIZE = (LCG_OUTPUT_MASK + 1) + 128;

struct SearchContext {
  SearchContext(std::uint32_t seed, const Value* values, int count, Kernel kernel);

  // The exact check of a candidate, given its state after the first draw.
  bool comes_out_in_order(std::uint32_t state_after_first_draw) const;

  Candidates candidates() { return {states.data(), tags.data()}; }
  ClassLists class_lists();

  std::uint32_t seed;
  const Value* values;
  int count;
  std::vector<Value> ascending;
  std::unique_ptr<DrawPlan> plan;
  KernelFunctions kernel;
  std::vector<std::uint32_t> states;
  std::vector<std::uint32_t> tags;
  // The class survivor lists, made when a block class search needs them.
  std::vector<std::uint16_t> class_k;
  std::vector<std::uint8_t> class_bytes;
};

// The first ordered attempt in [0, limit), judging attempts in order.
std::optional<std::uint64_t> scan_attempts(SearchContext& search, std::uint64_t limit);

// The first ordered attempt in [0, limit), by residue classes.
std::optional<std::uint64_t> search_classes(SearchContext& search, std::uint64_t limit);

// Whether the class search judges a block whole per class
// (search_block_classes) rather than making candidates from the anchor.
bool judged_by_block_classes(const DrawPlan& plan);

// The block's draws for the class whose candidate 0 is at
// `state` (after its first draw) and whose candidates are d * 2^16 apart.
void fill_block_class(const DrawPlan& plan, const ScatteredBlock& block, std::uint32_t state,
                      std::uint32_t d, BlockClass& run);

// The first ordered attempt in [0, limit), for a plan judged by block
// classes: residue classes judged on the plan's class block at once; attempts
// below `known` are known not to come out in order and may be skipped.
std::optional<std::uint64_t> search_block_classes(SearchContext& search, std::uint64_t known,
                                                  std::uint64_t limit);

// About how many candidates the class search judges: what a scan of as
// many attempts costs.
std::uint64_t class_candidates(const SearchContext& search);

}  // namespace shufflesort
