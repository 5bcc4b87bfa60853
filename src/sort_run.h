// The sort run driver: reads the value file, echoes the values, shuffles
// them until a shuffle comes out in order and reports the result.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>

namespace shufflesort {

// Exit statuses of a run.
constexpr int EXIT_OK = 0;
constexpr int EXIT_TROUBLE = 1;  // no value file, unwritable output, or no order ever

// Supplies the generator's seed; called once, after the echo line is written.
using SeedSource = std::function<std::uint32_t()>;

// The low 32 bits of the calendar clock in seconds, so the seed keeps working
// after 2038 and after 2106.
std::uint32_t clock_seed();

// Runs the whole sort on the value file at `path`, writing the report to `out`
// and the error lines to `err`. Returns the process exit status.
int run_sort(const char* path, const SeedSource& seed, std::ostream& out, std::ostream& err);

}  // namespace shufflesort
