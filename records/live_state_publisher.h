// A station's live state kept in the line's database by a thread of its own
// with its own connection: the station's row (heartbeat, totals, the image),
// one row per slot, and the run's end. Best effort: the station only hands
// over the latest state under a short lock and never waits for the database;
// when the database is away the rows go stale, and the thread connects again
// at most every LiveTimes::reconnect. Tables that are missing, or a role that
// may not write them, are said once (News) and nothing more is tried.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "records/live_state.h"
#include "records/live_state_throttle.h"
#include "records/live_state_writer.h"

namespace zevuvuri::records {

struct LiveShared;

// Every call: the owner's thread. The publisher's thread shares only
// LiveShared with it.
class LiveStatePublisher {
 public:
  // `first`: every slot's first state, in the station's order.
  LiveStatePublisher(LiveStation station, std::vector<LiveSlot> first, LiveRun run, LiveWriterOpener opener,
                     LiveTimes times = {});
  ~LiveStatePublisher();  // Stop(now + kStopLimit) if still running
  LiveStatePublisher(const LiveStatePublisher&) = delete;
  LiveStatePublisher& operator=(const LiveStatePublisher&) = delete;

  // False and `*error` when the thread cannot start.
  bool Start(std::string* error);
  // The slot's state now (`slot.slot` its index); returns at once.
  void SetSlot(LiveSlot slot);
  // The run's totals and image now; returns at once.
  void SetRun(LiveRun run);
  // Once, in the operator's words: why the live state is not published.
  std::optional<std::string> News();
  // The run ended cleanly: the last states and the run's end are written
  // now, gaps ignored. Returns at once; Stop waits.
  void Ending();
  // Ends the thread by `deadline` whatever the database does: after Ending
  // it has until shortly before to write the end; a statement still running
  // then is cancelled (from a helper thread, since the driver may block in
  // the cancel too), and a thread the driver still holds at the deadline is
  // abandoned with its connection (detached: it owns nothing the caller
  // uses). False when it was abandoned or the end was not written.
  bool Stop(std::chrono::steady_clock::time_point deadline);

  static constexpr auto kStopLimit = std::chrono::milliseconds{1000};

 private:
  std::shared_ptr<LiveShared> shared_;
  const LiveWriterOpener opener_;
  const LiveTimes times_;
  std::thread thread_;
};

}  // namespace zevuvuri::records
