// One slot of a station as the operator sees it, and how its phase moves:
// Waiting for a unit, Upgrading one, Leaving (plug: the ended unit's board is
// still there), and Waiting again. What the slot keeps between its units
// beyond what it shows (the plug's mark, the device its unit holds, the
// unit's session) is the station's.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "station/next_unit.h"
#include "station/station_model.h"

namespace zevuvuri::station {

// Every move leaves the snapshot whole: what a phase shows is set by the move
// into it, never left over from an earlier phase (but for the last unit's
// result, which stays until the next unit starts).
class StationSlot {
 public:
  using Clock = std::chrono::steady_clock;

  explicit StationSlot(std::string port);

  const SlotSnapshot& Shown() const { return shown_; }
  SlotPhase Phase() const { return shown_.phase; }
  const std::string& Port() const { return shown_.port; }
  // A single run on request may take its next unit on another port.
  void SetPort(std::string port) { shown_.port = std::move(port); }
  // Since when the slot waits (the longest waiting slot takes the next scan).
  Clock::time_point WaitingSince() const { return waiting_since_; }

  // Waiting for the next unit by `next` (Enter also for a single run).
  // `after`: the last unit's result, kept beside the wait for the start key
  // or a scan; with a plug the unit went, so the row starts afresh but for
  // the last result (a board pulled mid-upgrade leaves its failure shown).
  void Wait(NextUnit next, const std::string& after, Clock::time_point now);
  // Plug, at the start: the board on the slot was upgraded just before.
  void LeaveFirst();
  // A unit starts: its number, its serial number when scanned; the last
  // unit's result and progress go.
  void Begin(unsigned unit, std::optional<std::string> serial);
  // The running unit's status text, progress and confirmation: true when
  // any of them changed.
  bool Progress(const std::string& text, int percent, bool awaiting_confirm);
  void MarkRepeat() { shown_.repeat = true; }
  // The unit ended with `result`; `percent` as its sinks last had it. `last`:
  // nothing follows (stopped, or a single run) and the slot shows Waiting.
  void End(bool ok, const std::string& result, int percent, bool last);
  // Plug: the ended unit must be removed before the next is taken.
  void Leave(const std::string& result);

 private:
  SlotSnapshot shown_;
  Clock::time_point waiting_since_{};
};

}  // namespace zevuvuri::station
