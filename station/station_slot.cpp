#include "station/station_slot.h"

#include <utility>

namespace zevuvuri::station {

StationSlot::StationSlot(std::string port) { shown_.port = std::move(port); }

void StationSlot::Wait(NextUnit next, const std::string& after, Clock::time_point now) {
  SlotSnapshot& s = shown_;
  s.phase = SlotPhase::Waiting;
  s.awaiting_confirm = false;
  waiting_since_ = now;
  switch (next) {
    case NextUnit::Plug: {
      SlotSnapshot fresh;
      fresh.port = s.port;
      fresh.result = s.result;
      fresh.result_text = std::move(s.result_text);
      s = std::move(fresh);
      s.text = "waiting for a unit";
      break;
    }
    case NextUnit::Scan:
      s.text = after.empty() ? "waiting for a scan" : after + ", scan the next unit";
      break;
    case NextUnit::Enter:
      s.text = after.empty() ? "waiting for Enter" : after + ", Enter for the next unit";
      break;
  }
}

void StationSlot::LeaveFirst() {
  shown_.phase = SlotPhase::Leaving;
  shown_.text = "upgraded just before, remove the unit";
}

void StationSlot::Begin(unsigned unit, std::optional<std::string> serial) {
  SlotSnapshot& s = shown_;
  s.phase = SlotPhase::Upgrading;
  s.unit = unit;
  s.text.clear();
  s.percent = -1;
  s.result = ResultKind::None;
  s.result_text.clear();
  s.serial = std::move(serial);
  s.repeat = false;
  s.awaiting_confirm = false;
}

bool StationSlot::Progress(const std::string& text, int percent, bool awaiting_confirm) {
  SlotSnapshot& s = shown_;
  if (s.text == text && s.percent == percent && s.awaiting_confirm == awaiting_confirm) return false;
  s.text = text;
  s.percent = percent;
  s.awaiting_confirm = awaiting_confirm;
  return true;
}

void StationSlot::End(bool ok, const std::string& result, int percent, bool last) {
  SlotSnapshot& s = shown_;
  s.result = ok ? ResultKind::Ok : ResultKind::Failed;
  s.result_text = result;
  s.text = result;
  s.percent = percent;
  s.awaiting_confirm = false;
  if (last) s.phase = SlotPhase::Waiting;
}

void StationSlot::Leave(const std::string& result) {
  shown_.phase = SlotPhase::Leaving;
  shown_.text = result + ", remove the unit";
}

}  // namespace zevuvuri::station
