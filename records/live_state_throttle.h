// When the live state is written: a slot's row at most once per slot gap,
// its last state always (a slot that changes a hundred times within the gap
// is written at the first change and once more with the last, when the gap
// has passed), the run's row when it changed, and a heartbeat when nothing
// else has touched the station's row for a beat. Rules only: the caller
// keeps the values and the clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace zevuvuri::records {

struct LiveTimes {
  std::chrono::milliseconds slot_gap{250};
  std::chrono::milliseconds beat{5000};
  std::chrono::milliseconds reconnect{3000};  // between two attempts to connect
};

// One thread at a time (the publisher's, under its lock).
class LiveStateThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  LiveStateThrottle(std::size_t slots, LiveTimes times);

  // Whether the slot had no change waiting yet: the writer's wait may then
  // end sooner.
  bool SlotChanged(std::size_t slot);
  void RunChanged();
  // A new connection: everything is written again, at once.
  void AllChanged();

  // The slots to write now: changed, and not written within the gap. They
  // count as written at `now`. `ending`: the gap is not kept (the last
  // states before the run's end).
  std::vector<std::size_t> TakeDueSlots(Clock::time_point now, bool ending = false);
  // Whether the run's row is to be written now; it then counts as a beat.
  bool TakeRun(Clock::time_point now);
  // Whether a heartbeat is due now; it then counts as given.
  bool TakeBeat(Clock::time_point now);
  // A write that failed: the slot (or the run) is due again, as soon as
  // there is a connection.
  void SlotUnwritten(std::size_t slot);
  void RunUnwritten() { run_changed_ = true; }

  // The earliest moment something is due (the next heartbeat at the latest).
  Clock::time_point NextDue() const;

 private:
  struct SlotTimes {
    bool changed = false;
    std::optional<Clock::time_point> written;
  };
  LiveTimes times_;
  std::vector<SlotTimes> slots_;
  bool run_changed_ = false;
  std::optional<Clock::time_point> beat_;  // the station's row last touched
};

}  // namespace zevuvuri::records
