// How soon after a slot's last start the start key may start it again. A
// foot switch that bounces, or a key held down on a slot whose port fails at
// once, would otherwise start unit after unit on one board: a press within
// the guard after the slot's last start starts nothing there. Times are given
// by the caller, so the rule holds whatever clock drives it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace zevuvuri::station {

class StartGuard {
 public:
  using Clock = std::chrono::steady_clock;

  // A zero guard lets every press through.
  explicit StartGuard(Clock::duration guard = Clock::duration::zero()) : guard_(guard) {}

  // Whether a press at `now` may start a unit on `slot`.
  bool Allows(std::size_t slot, Clock::time_point now) const;
  // A unit started on `slot` at `now`, whatever started it.
  void Started(std::size_t slot, Clock::time_point now);
  Clock::duration Guard() const { return guard_; }

 private:
  Clock::duration guard_;
  std::vector<std::optional<Clock::time_point>> last_;  // by slot
};

}  // namespace zevuvuri::station
