// The order in which the lanes judge a plan's tests and blocks: the one
// that costs least by a model of each judge's cost, with or without a pair
// table.
#pragma once

#include "search/draw_plan.h"

namespace shufflesort {

// Whether a block's draws from its draw `from` on cost less tracked than
// scattered.
bool tracking_pays(const ScatteredBlock& block, std::uint32_t from);

// Sets the stages of `plan`, whose tests and blocks are made, and its pair
// when a pair table costs less than judging without one.
void choose_stages(DrawPlan& plan);

}  // namespace shufflesort
