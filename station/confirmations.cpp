#include "station/confirmations.h"

namespace zevuvuri::station {

std::vector<UnitSession*> Confirmations::PromptWaiting(const std::vector<UnitSession*>& running) {
  std::vector<UnitSession*> waiting;
  for (UnitSession* s : running) {
    if (s->AwaitsConfirmation()) waiting.push_back(s);
  }
  if (yes_) return waiting;
  for (UnitSession* s : waiting) {
    if (s->PromptOnce()) s->Note(prompt_);
  }
  return waiting;
}

void Confirmations::Apply(const std::vector<UnitSession*>& waiting, bool enter) {
  for (UnitSession* s : waiting) {
    if (yes_ ? s->Sinks().PollsAcknowledged() > 0 : enter) s->Confirm();
  }
}

}  // namespace zevuvuri::station
