// The forwarder: one thread that takes a journal's unsent records into the
// line's database, oldest first, in batches, and keeps how far it got beside
// the journal (sent_mark.h). A record counts as sent once the database has
// committed it, or has it already (same record_id): a record is never lost
// and never stored twice, however often the connection goes. A record the
// database refuses is set aside (kept in the journal, named in the mark) and
// tried again at the next start; the rest goes on.
//
// The journal is read through the forwarder's own descriptor: a journal
// renamed, removed or replaced at its path is read to its end before the
// file at the path is taken up, and a file that became shorter than the
// forwarder's offset (emptied in place) is read again from its start. One
// forwarder per journal sends: it holds "<journal>.lock"; another (in this
// process or another) only counts what waits, from the mark, until the lock
// is free.
//
// While an upgrade runs beside it (SetBusy), the forwarder yields: a local
// server's inserts and commits would otherwise compete with the upgrade for
// the same cores and stretch its frames. It then sends small batches with a
// pause after each, so that its and the database's share of the time stays
// near a tenth; records still flow, and a backlog goes at full speed again
// as soon as no upgrade runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "records/record_store.h"

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
  bool held_elsewhere = false; // another forwarder holds the journal's lock and sends its records
  // Of `refused`: those kept in a file that rotation took from the path
  // (renamed, emptied in place or removed while held). The mark at the path
  // is the new file's, so they are tried again only by sending that file.
  std::uint64_t refused_rotated = 0;
};

// A statement outstanding this long is reported as the database not answering.
constexpr auto kNotAnswering = std::chrono::seconds{10};

// A batch: at most this many lines, and about this many bytes of them, are
// read and handed to the store at once.
constexpr std::size_t kBatchLines = 500;
constexpr std::size_t kBatchBytes = 1024 * 1024;

// While busy (an upgrade runs), a batch is at most kBusyBatchLines lines, and
// the next one waits kBusyPauseFactor times as long as the last one took
// (its connection, its round trips and its commit, as the forwarder saw
// them), at least kBusyLeastPause and at most kBusyLongestPause. The
// forwarder and the database thus work a tenth of the time or less, unless
// one batch takes longer than about 220 ms (a server slow or loaded): the
// longest pause then keeps records flowing whatever the server does. While
// busy, records go at kBusyBatchLines per (batch time + pause): up to 500 a
// second with quick batches, and never fewer than 100 per (batch time +
// 2 s). That is far more than stations make, so a line whose slots are
// always busy never starves its records, while a large backlog waits for a
// quiet moment to go at full speed.
constexpr std::size_t kBusyBatchLines = 100;
constexpr int kBusyPauseFactor = 9;
constexpr auto kBusyLeastPause = std::chrono::milliseconds{200};
constexpr auto kBusyLongestPause = std::chrono::seconds{2};

// The forwarder's pauses; other ones only in tests.
struct ForwarderTimes {
  std::chrono::milliseconds first_retry = kFirstRetryPause;
  std::chrono::milliseconds longest_retry = kLongestRetryPause;
  std::chrono::milliseconds look_again = kLookAgain;
  std::chrono::milliseconds not_answering = kNotAnswering;
  std::chrono::milliseconds busy_least_pause = kBusyLeastPause;
  std::chrono::milliseconds busy_longest_pause = kBusyLongestPause;
};

struct ForwarderShared;  // forwarder.cpp: what the thread and its owner share

// Start, Wake, SetBusy, State, WaitSent and Stop: the owner's thread; State,
// Wake and SetBusy also from any other. The thread reads the journal and the mark, the
// database through its own connection, and shares only ForwarderState.
class RecordForwarder {
 public:
  // Through the line's database: an ODBC connection string.
  RecordForwarder(std::string journal_utf8_path, std::string connection);
  // Through the stores that `opener` opens (a new one after each failure).
  RecordForwarder(std::string journal_utf8_path, StoreOpener opener, ForwarderTimes times = {});
  ~RecordForwarder();  // Stop(kStopLimit) if still running
  RecordForwarder(const RecordForwarder&) = delete;
  RecordForwarder& operator=(const RecordForwarder&) = delete;

  // False and `*error` when the thread cannot be started.
  bool Start(std::string* error);
  // A record was appended: look at the journal now rather than later.
  void Wake();
  // Whether an upgrade runs now: the batches are then small and paced (see
  // kBusyBatchLines); false ends a pause at once and the rest goes at full
  // speed. May be called before Start, and from any thread.
  void SetBusy(bool busy);
  ForwarderState State() const;
  // Waits until a look at the journal that began after this call finds
  // nothing left to send (true), an attempt fails (false), or `limit` passes
  // (false). Records set aside as refused are not left to send. Paced
  // batches stay paced: a caller that waits for the rest (a run's end)
  // says SetBusy(false) first.
  bool WaitSent(std::chrono::milliseconds limit);
  // Ends the thread within `limit` whatever the database does: it stops
  // between two batches; a statement that still runs after a moment is
  // cancelled (RecordStore::Cancel, from a helper thread since the driver may block in
  // it too); a thread still held by the driver at the limit is abandoned
  // with its connection (detached: it owns nothing the caller still uses,
  // and the process ends without it). The records it did not send stay in
  // the journal. False when it was abandoned.
  bool Stop(std::chrono::milliseconds limit);

  static constexpr auto kStopLimit = std::chrono::milliseconds{1000};

 private:
  const std::string journal_;
  const StoreOpener opener_;
  const ForwarderTimes times_;
  std::shared_ptr<ForwarderShared> shared_;
  std::thread thread_;
};

struct WaitingCount {
  bool read = false;         // false: `error` says why the journal could not be read
  bool missing = false;      // no journal at the path
  std::string error;
  std::uint64_t waiting = 0; // complete records past the mark
  std::uint64_t refused = 0; // records the database refused, named in the mark
  std::uint64_t refused_rotated = 0;  // of `refused`: kept in a file rotated away from the path
};

// What still waits for the database in `journal`, read from the files, for
// a run's end and --forward-records. A mark that does not belong to the
// journal, or does not check out, counts as none: everything waits.
WaitingCount CountWaiting(const std::string& journal_utf8_path);

}  // namespace zevuvuri::records
