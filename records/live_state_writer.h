// Where the live state publisher (live_state_publisher.h) writes: the line's
// database through live_state_sql.h, or a test's fake. One writer is one
// connection; after a failure the publisher drops it and opens another.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "records/live_state.h"

namespace zevuvuri::records {

enum class LiveWrite {
  Done,
  Failed,        // the connection's or the server's trouble: try again later on a new connection
  NotPossible,   // the tables are missing (an older schema) or the role may not write them:
                 // nothing will change that during the run
};

// Every call but Cancel: the publisher's thread only. Cancel: any thread
// while the writer lives, to stop a statement that does not return.
class LiveStateWriter {
 public:
  virtual ~LiveStateWriter() = default;
  // The station's row for this run (heartbeat now, not ended, the run's
  // start kept when the row is already this run's) and no rows of ports it
  // does not have.
  virtual LiveWrite Open(const LiveStation& station, std::string* error) = 0;
  // The row's totals and image, with a heartbeat.
  virtual LiveWrite Run(const LiveRun& run, std::string* error) = 0;
  virtual LiveWrite Slot(const LiveSlot& slot, std::string* error) = 0;
  virtual LiveWrite Beat(std::string* error) = 0;
  // The run ended cleanly.
  virtual LiveWrite End(std::string* error) = 0;
  virtual void Cancel() = 0;
};

// A new connection, or nothing and `*error`.
using LiveWriterOpener = std::function<std::unique_ptr<LiveStateWriter>(std::string* error)>;

}  // namespace zevuvuri::records
