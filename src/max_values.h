// The one size shared by every part of the program: how many values are read
// and how large each value array is.
#pragma once

#include <cstdint>

namespace shufflesort {

// A value of the sort: a signed 32-bit integer.
using Value = std::int32_t;

// Capacity of every value array and the most values read from the file.
constexpr int MAX_VALUES = 100;

}  // namespace shufflesort
