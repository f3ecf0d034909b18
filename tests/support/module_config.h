// The simulator's module model as the tests set it up.
#pragma once

#include "module_model.h"

namespace zevuvuri::testing {

// A module in serial or over-the-air mode that commits `faults`.
inline sim::ModelConfig ModuleConfig(bool over_the_air, sim::FaultPlan faults = {}) {
  sim::ModelConfig config;
  config.mode = over_the_air ? sim::LinkMode::OverTheAir : sim::LinkMode::Serial;
  config.faults = std::move(faults);
  return config;
}

// A fault plan with one field set, e.g. FaultPlanWith(&sim::FaultPlan::refuse_poll, 1u).
template <typename Field, typename Value>
sim::FaultPlan FaultPlanWith(Field sim::FaultPlan::*field, Value value) {
  sim::FaultPlan plan;
  plan.*field = std::move(value);
  return plan;
}

}  // namespace zevuvuri::testing
