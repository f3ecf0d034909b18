// Over the air the module's start is enabled after synchronisation: the
// operator confirms with the start key (one press for every unit then
// waiting), or `yes` confirms each unit at its module's first acknowledged
// poll (the poll hook each UnitSession sets; Apply's `yes` case only backs it up).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "station/unit_session.h"

namespace zevuvuri::station {

class Confirmations {
 public:
  // `prompt`: what a unit waiting for the operator tells once.
  Confirmations(bool yes, std::string prompt) : yes_(yes), prompt_(std::move(prompt)) {}
  // The sessions among `running` that wait for the operator now; each is
  // told once how to go on, in `prompt`'s words (unless `yes` does it).
  std::vector<UnitSession*> PromptWaiting(const std::vector<UnitSession*>& running);
  // Confirms `waiting`: with `yes` those whose module has answered a poll,
  // otherwise all of them when `enter` was pressed. Confirm, never the
  // button's toggle: a poll that failed meanwhile must not turn the
  // confirmation into a second, unattended upgrade.
  void Apply(const std::vector<UnitSession*>& waiting, bool enter);
  bool Yes() const { return yes_; }

 private:
  const bool yes_;
  const std::string prompt_;
};

}  // namespace zevuvuri::station
