// Residue classes: moving from class to class, and from a class's
// candidates to their attempts; see classes.h.
#include "search/classes.h"

#include "search/search.h"

namespace shufflesort {

std::uint32_t class_count(int count) {
  return static_cast<std::uint32_t>(attempt_period(count) / CLASS_SIZE);
}

namespace {

// Each draw's offset in a class: its result's part (a^i l + c_i) >> 16
// less the lead's, a^(i-L) e_L. A plain loop over arrays, which the
// compiler turns into vector code, here for the widest unit the CPU has:
// every class does it, whatever its candidates.
#if defined(__x86_64__) && !defined(__clang__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void fill_offsets(int count, std::uint32_t low, std::uint32_t lead_offset,
                  const std::uint32_t* step_multipliers, const std::uint32_t* step_increments,
                  const std::uint32_t* lead_multipliers, std::uint32_t* offsets) {
  for (int i = 0; i < count; ++i) {
    const std::uint32_t offset = generator_output(step_multipliers[i] * low + step_increments[i]);
    offsets[i] = twice((offset - lead_multipliers[i] * lead_offset) & LCG_OUTPUT_MASK);
  }
}

}  // namespace

ClassFrame::ClassFrame(std::uint32_t seed, const DrawPlan& plan, std::uint32_t lead)
    : plan_(plan),
      lead_(lead),
      classes_(class_count(plan.count)),
      next_attempt_(generator_steps(static_cast<std::uint64_t>(plan.count))),
      next_in_class_(generator_steps(std::uint64_t{classes_} * static_cast<unsigned>(plan.count))),
      first_state_(generator_steps(1)(seed)) {
  for (int i = 0; i < plan.count; ++i) {
    const AffineMap step = generator_steps(static_cast<std::uint64_t>(i));
    step_multipliers_[i] = step.multiplier;
    step_increments_[i] = step.increment;
  }
  lead_inverse_ = inverse(AffineMap{step_multipliers_[lead], 0}).multiplier;
  for (int i = 0; i < plan.count; ++i) lead_multipliers_[i] = step_multipliers_[i] * lead_inverse_;
}

void ClassFrame::fill_constants(ClassDraws& draws) const {
  for (int i = 0; i < plan_.count; ++i) {
    const Divisor& by = plan_.divisors[plan_.count - i];
    draws.multipliers[i] = twice(lead_multipliers_[i]);
    draws.magics[i] = twice(by.magic);
    draws.divisors[i] = twice(by.divisor);
    draws.shifts[i] = by.shift;
  }
}

void ClassFrame::enter(std::uint32_t c, ClassDraws& draws) {
  if (c == class_ + 1 && c != 0) {
    state_ = next_attempt_(state_);
  } else {
    state_ = generator_steps(std::uint64_t{c} * static_cast<unsigned>(plan_.count))(first_state_);
  }
  class_ = c;
  step_ = generator_output(next_in_class_(state_) - state_);
  const std::uint32_t low = state_ & 0xFFFF;
  lead_offset_ = generator_output(step_multipliers_[lead_] * low + step_increments_[lead_]);
  fill_offsets(plan_.count, low, lead_offset_, step_multipliers_, step_increments_,
               lead_multipliers_, draws.offsets);
}

std::uint32_t ClassFrame::candidate(std::uint32_t k) const {
  const std::uint32_t h = generator_output(state_) + k * step_;
  return (step_multipliers_[lead_] * h + lead_offset_) & LCG_OUTPUT_MASK;
}

std::uint32_t ClassFrame::candidate_step() const {
  return (step_multipliers_[lead_] * step_) & LCG_OUTPUT_MASK;
}

std::uint32_t ClassFrame::k_of(std::uint32_t u) const { return candidates_from(0).number(u); }

// k = ((h - h_0) / d) with h = a^-L (u - e_L), all mod 2^15.
CandidatesFrom ClassFrame::candidates_from(std::uint32_t k_from) const {
  const std::uint32_t step_inverse = inverse(AffineMap{step_, 0}).multiplier;
  CandidatesFrom from;
  from.multiplier = lead_inverse_ * step_inverse;
  from.increment = (0u - lead_inverse_ * lead_offset_ - generator_output(state_)) * step_inverse;
  from.k_from = k_from;
  return from;
}

std::uint64_t ClassFrame::attempt_of(std::uint32_t u) const {
  return class_ + std::uint64_t{classes_} * k_of(u);
}

std::uint32_t ClassFrame::start_state(std::uint32_t u) const {
  static const AffineMap undo_first_draw = inverse(generator_steps(1));
  return undo_first_draw(state_ + ((k_of(u) * step_) << LCG_OUTPUT_SHIFT));
}

}  // namespace shufflesort
