#include "station/confirmations.h"

namespace zevuvuri::station {

std::vector<UnitSession*> Confirmations::PromptWaiting(const std::vector<UnitSession*>& running) {
  std::vector<UnitSession*> waiting;
  for (UnitSession* s : running) {
    const auto& c = *s->controller;
    if (!s->outcome && c.State() == UpgradeState::Acquiring && c.Mode() == LinkMode::OverTheAir &&
        s->sinks->ButtonEnabled()) {
      waiting.push_back(s);
    }
  }
  if (yes_) return waiting;
  for (UnitSession* s : waiting) {
    if (s->prompted) continue;
    s->prompted = true;
    s->note(prompt_);
  }
  return waiting;
}

void Confirmations::Apply(const std::vector<UnitSession*>& waiting, bool enter) {
  for (UnitSession* s : waiting) {
    if (yes_ ? s->sinks->PollsAcknowledged() > 0 : enter) s->controller->Confirm();
  }
}

}  // namespace zevuvuri::station
