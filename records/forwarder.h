// The forwarder: one thread that takes a journal's unsent records into the
// line's database, oldest first, and keeps how far it got beside the journal
// (sent_mark.h). A record counts as sent once the database has committed it,
// or has it already (same record_id): a record is never lost and never
// stored twice, however often the connection goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace zevuvuri::records {

// Between failed attempts the forwarder waits this long, twice as long after
// each further failure, up to the longest.
constexpr auto kFirstRetryPause = std::chrono::seconds{1};
constexpr auto kLongestRetryPause = std::chrono::seconds{30};
// Without a Wake, the journal is looked at again this often (another
// process may write to it too).
constexpr auto kLookAgain = std::chrono::seconds{1};

struct ForwarderState {
  std::uint64_t waiting = 0;   // complete records past the mark, as last counted
  std::uint64_t sent = 0;      // records the database took since Start
  std::uint64_t failures = 0;  // attempts that failed since Start
  std::string reason;          // why the last attempt failed, password masked; empty after a success
  bool looked = false;         // the journal has been read once at least
  std::uint64_t refused = 0;   // records the database refused, set aside in the journal
  std::string refused_reason;  // why the last of them was refused, password masked
  bool not_answering = false;  // a statement has been outstanding for kNotAnswering or longer
};

// A statement outstanding this long is reported as the database not answering.
constexpr auto kNotAnswering = std::chrono::seconds{10};

struct ForwarderShared;  // forwarder.cpp: what the thread and its owner share

// Start, Wake, State, WaitSent and Stop: the owner's thread; State and Wake
// also from any other. The thread reads the journal and the mark, the
// database through its own connection, and shares only ForwarderState.
class RecordForwarder {
 public:
  RecordForwarder(std::string journal_utf8_path, std::string connection);
  ~RecordForwarder();  // Stop(kStopLimit) if still running
  RecordForwarder(const RecordForwarder&) = delete;
  RecordForwarder& operator=(const RecordForwarder&) = delete;

  // False and `*error` when the thread cannot be started.
  bool Start(std::string* error);
  // A record was appended: look at the journal now rather than later.
  void Wake();
  ForwarderState State() const;
  // Waits until a look at the journal finds nothing left to send (true), an
  // attempt fails (false), or `limit` passes (false).
  bool WaitSent(std::chrono::milliseconds limit);
  // Ends the thread within `limit` whatever the database does: it stops
  // between two records; a statement that still runs after a moment is
  // cancelled (SQLCancel, from a helper thread since the driver may block in
  // it too); a thread still held by the driver at the limit is abandoned
  // with its connection (detached: it owns nothing the caller still uses,
  // and the process ends without it). The records it did not send stay in
  // the journal. False when it was abandoned.
  bool Stop(std::chrono::milliseconds limit);

  static constexpr auto kStopLimit = std::chrono::milliseconds{1000};

 private:
  const std::string journal_;
  const std::string connection_;
  std::shared_ptr<ForwarderShared> shared_;
  std::thread thread_;
};

// The complete records in `journal` past its mark: what still waits for the
// database. Read from the files, for a run's end and --forward-records.
std::uint64_t CountWaiting(const std::string& journal_utf8_path);

}  // namespace zevuvuri::records
