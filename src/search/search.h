// Finding the first attempt whose shuffle comes out in order without
// replaying the attempts one by one.
//
// Attempt j (from 0) starts at generator state F^(j * count)(seed), so any
// attempt can be judged on its own. Since results are bits 16..30 of the
// state, the attempts' shuffles repeat after attempt_period(count) attempts:
// if none of those comes out in order, none ever will.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "max_values.h"

namespace shufflesort {

// The number of distinct attempts: 2^31 / gcd(count, 2^31).
std::uint64_t attempt_period(int count);

// The vector units the search can use, narrowest first.
enum class Kernel { portable, avx2, avx512 };

// The kernel's name: "portable", "avx2" or "avx512".
const char* kernel_name(Kernel kernel);

// The kernels this CPU can run, narrowest first; `portable` is always there.
std::vector<Kernel> supported_kernels();

// The kernel the program uses: the widest this CPU can run, or the one the
// build fixed (SHUFFLESORT_KERNEL) when the CPU has it.
Kernel widest_kernel();

// The first attempt j < limit, counted from 0, whose shuffle of `values`
// comes out in order after seeding with `seed`; nothing when there is none.
// Needs count >= 2. Judges the first attempts one by one, then all residue
// classes on ranges of their candidates growing fourfold, so that an answer
// costs about what reaching it costs; then, where the plan has a pair
// table, the rest of the period from its survivors.
std::optional<std::uint64_t> first_ordered_attempt(std::uint32_t seed, const Value* values,
                                                   int count, std::uint64_t limit, Kernel kernel);

// The same answer from the ranges alone, through the whole period.
std::optional<std::uint64_t> first_ordered_attempt_by_ranges(std::uint32_t seed,
                                                             const Value* values, int count,
                                                             std::uint64_t limit, Kernel kernel);

// The same answer from the pair table alone (the ranges where the plan has
// none).
std::optional<std::uint64_t> first_ordered_attempt_by_pairs(std::uint32_t seed, const Value* values,
                                                            int count, std::uint64_t limit,
                                                            Kernel kernel);

// The same answer found by replaying the literal shuffle and order test,
// attempt after attempt: the reference the fast searches are held to.
std::optional<std::uint64_t> first_ordered_attempt_by_replay(std::uint32_t seed,
                                                             const Value* values, int count,
                                                             std::uint64_t limit);

}  // namespace shufflesort
