// Residue classes of attempts: the frame in which the lanes judge them.
//
// Write the state after an attempt's first draw as x = 2^16 h + l, h the
// bits 16..30 that results are made of and l the low half. With count =
// 2^v * odd, the low half comes back every T = 2^(16-v) attempts, and then
// h has moved by an odd step d that depends only on l. So the attempts
// c + k T (k < 2^15) form residue class c, whose h runs through every
// 15-bit number once. Draw i's state is a^i x + c_i (the generator stepped
// i times), so its result is
//     r_i = (a^i h + e_i) mod 2^15,   e_i = ((a^i l + c_i) mod 2^32) >> 16:
// within a class every result is the same affine function of h, offset by
// a number fixed by the class. The lanes number a class's candidates not by
// h but by the result u of a chosen lead draw L, which is as good a name
// (h = a^-L (u - e_L)): then r_i = M_i u + f_i with M_i = a^(i-L), the same
// for every class, and f_i = e_i - M_i e_L, the class's own.
#pragma once

#include <cstdint>

#include "max_values.h"
#include "search/draw_plan.h"
#include "shuffle.h"

namespace shufflesort {

// Results are 15 bits: a class has this many candidates.
constexpr std::uint32_t CLASS_SIZE = LCG_OUTPUT_MASK + 1;

// How many residue classes the attempts of `count` values fall into: the
// attempt period over the class size.
std::uint32_t class_count(int count);

// A 16-bit number twice in a 32-bit word: a 32-bit broadcast, one
// instruction, spreads it through 16-bit lanes.
constexpr std::uint32_t twice(std::uint32_t half) { return (half & 0xFFFF) * 0x10001u; }

// What the lanes need of each draw i in a class, each number twice in a
// word: its result is (u * multipliers[i] + offsets[i]) mod 2^15, and its
// compacted index that result's remainder by the divisor (see Divisor).
// Only the offsets change from class to class.
struct ClassDraws {
  std::uint32_t multipliers[MAX_VALUES] = {};
  std::uint32_t offsets[MAX_VALUES] = {};
  std::uint32_t magics[MAX_VALUES] = {};
  std::uint32_t divisors[MAX_VALUES] = {};
  std::uint32_t shifts[MAX_VALUES] = {};  // once
};

// A class's candidates from number k_from on: candidate u is number
// (u * multiplier + increment) mod 2^15, in the order of its attempts.
struct CandidatesFrom {
  std::uint32_t multiplier = 1;
  std::uint32_t increment = 0;
  std::uint32_t k_from = 0;

  std::uint32_t number(std::uint32_t u) const {
    return (u * multiplier + increment) & LCG_OUTPUT_MASK;
  }
};

// The classes of one search, and one of them.
class ClassFrame {
 public:
  // The classes of the attempts from `seed`, their candidates numbered by
  // the results of draw `lead`.
  ClassFrame(std::uint32_t seed, const DrawPlan& plan, std::uint32_t lead);

  std::uint32_t classes() const { return classes_; }

  // The fields of `draws` that are the same in every class.
  void fill_constants(ClassDraws& draws) const;

  // Moves to class `c` and sets its offsets in `draws`.
  void enter(std::uint32_t c, ClassDraws& draws);

  // The candidate u of candidate k of the current class, and the step of u
  // from one k to the next.
  std::uint32_t candidate(std::uint32_t k) const;
  std::uint32_t candidate_step() const;

  // Which candidate of the current class u is, and its attempt.
  std::uint32_t k_of(std::uint32_t u) const;
  std::uint64_t attempt_of(std::uint32_t u) const;

  // The current class's candidates from number k_from on.
  CandidatesFrom candidates_from(std::uint32_t k_from) const;

  // The generator state at the start of candidate u's attempt.
  std::uint32_t start_state(std::uint32_t u) const;

 private:
  const DrawPlan& plan_;
  std::uint32_t lead_;
  std::uint32_t classes_;
  AffineMap next_attempt_;   // F^count
  AffineMap next_in_class_;  // F^(count * T)
  // F^i for each draw i, and a^(i-L).
  std::uint32_t step_multipliers_[MAX_VALUES] = {};
  std::uint32_t step_increments_[MAX_VALUES] = {};
  std::uint32_t lead_multipliers_[MAX_VALUES] = {};
  std::uint32_t lead_inverse_ = 1;  // a^-L
  // The current class.
  std::uint32_t first_state_;         // attempt 0's, after its first draw
  std::uint32_t class_ = 0xFFFFFFFF;  // none yet
  std::uint32_t state_ = 0;           // after its candidate 0's first draw
  std::uint32_t lead_offset_ = 0;     // e_L
  std::uint32_t step_ = 1;            // d
};

}  // namespace shufflesort
