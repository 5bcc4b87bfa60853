// The draw plan of a list of values, made as the search makes it.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "max_values.h"
#include "search/draw_plan.h"

inline std::unique_ptr<shufflesort::DrawPlan> plan_of(
    const std::vector<shufflesort::Value>& values) {
  std::vector<shufflesort::Value> ascending = values;
  std::sort(ascending.begin(), ascending.end());
  auto plan = std::make_unique<shufflesort::DrawPlan>();
  shufflesort::make_draw_plan(values.data(), ascending.data(), static_cast<int>(values.size()),
                              *plan);
  return plan;
}
