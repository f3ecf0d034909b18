#include "records/live_state_throttle.h"

#include <algorithm>
#include <utility>

namespace zevuvuri::records {

LiveStateThrottle::LiveStateThrottle(std::size_t slots, LiveTimes times) : times_(times), slots_(slots) {}

bool LiveStateThrottle::SlotChanged(std::size_t slot) { return !std::exchange(slots_.at(slot).changed, true); }

void LiveStateThrottle::RunChanged() { run_changed_ = true; }

void LiveStateThrottle::AllChanged() {
  for (SlotTimes& s : slots_) s = SlotTimes{true, std::nullopt};
  run_changed_ = true;
  beat_.reset();
}

std::vector<std::size_t> LiveStateThrottle::TakeDueSlots(Clock::time_point now, bool ending) {
  std::vector<std::size_t> due;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    SlotTimes& s = slots_[i];
    if (!s.changed) continue;
    if (!ending && s.written && now < *s.written + times_.slot_gap) continue;
    s.changed = false;
    s.written = now;
    due.push_back(i);
  }
  return due;
}

bool LiveStateThrottle::TakeRun(Clock::time_point now) {
  if (!run_changed_) return false;
  run_changed_ = false;
  beat_ = now;
  return true;
}

bool LiveStateThrottle::TakeBeat(Clock::time_point now) {
  if (beat_ && now < *beat_ + times_.beat) return false;
  beat_ = now;
  return true;
}

void LiveStateThrottle::SlotUnwritten(std::size_t slot) {
  slots_.at(slot).changed = true;
  slots_.at(slot).written.reset();
}

LiveStateThrottle::Clock::time_point LiveStateThrottle::NextDue() const {
  if (run_changed_ || !beat_) return Clock::time_point::min();
  Clock::time_point next = *beat_ + times_.beat;
  for (const SlotTimes& s : slots_) {
    if (!s.changed) continue;
    next = std::min(next, s.written ? *s.written + times_.slot_gap : Clock::time_point::min());
  }
  return next;
}

}  // namespace zevuvuri::records
