#include "records/forwarder.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "records/journal.h"
#include "records/journal_file.h"
#include "records/journal_lines.h"
#include "records/odbc_store.h"
#include "records/sent_mark.h"

namespace zevuvuri::records {
namespace {

using Clock = std::chrono::steady_clock;

// At Stop, a statement still running after this long is cancelled.
constexpr auto kCancelAfter = std::chrono::milliseconds{300};

// Whether `mark` stands where it says in `file`: the journal's identity, an
// offset within it at the end of a line, and that line the one it names.
bool MarkChecksOut(JournalFile& file, const SentMark& mark) {
  std::uint64_t size = 0;
  std::string error;
  if (!(mark.journal == file.Identity()) || !file.Size(&size, &error) || mark.offset > size) return false;
  if (mark.offset == 0) return mark.refused.empty();
  std::string line;
  if (!LineEndingAt(file, mark.offset, &line) || LineHash(line) != mark.last_line_hash) return false;
  const auto row = ParseRecord(line);
  return mark.last_record_id.empty() ? !row : row && row->record_id == mark.last_record_id;
}

// The records among `lines`.
std::uint64_t RecordsIn(const std::vector<JournalLine>& lines) {
  return static_cast<std::uint64_t>(
      std::count_if(lines.begin(), lines.end(), [](const JournalLine& l) { return ParseRecord(l.text).has_value(); }));
}

// Counts the records from `offset` to the file's last complete line, a
// batch at a time; `*end` gets the end of that line.
bool CountRecords(JournalFile& file, std::uint64_t offset, std::uint64_t* records, std::uint64_t* end,
                  std::string* error) {
  *records = 0;
  *end = offset;
  std::vector<JournalLine> lines;
  for (;;) {
    if (!ReadLines(file, *end, kBatchLines, kBatchBytes, &lines, error)) return false;
    if (lines.empty()) return true;
    *records += RecordsIn(lines);
    *end = lines.back().end;
  }
}

}  // namespace

WaitingCount CountWaiting(const std::string& journal_utf8_path) {
  WaitingCount count;
  std::unique_ptr<JournalFile> file;
  const PathLook look = JournalFile::Open(journal_utf8_path, &file, &count.error);
  if (look != PathLook::Found) {
    count.missing = look == PathLook::Missing;
    if (count.missing) count.error = "no journal at " + journal_utf8_path;
    return count;
  }
  std::uint64_t offset = 0;
  if (const auto mark = LoadSentMark(SentMarkPath(journal_utf8_path)); mark && MarkChecksOut(*file, *mark)) {
    offset = mark->offset;
    count.refused = mark->refused.size();
  }
  std::uint64_t end = 0;
  count.read = CountRecords(*file, offset, &count.waiting, &end, &count.error);
  return count;
}

struct ForwarderShared {
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  bool wake = false;
  bool done = false;              // the thread has left its loop
  std::uint64_t looks_begun = 0;  // looks at the journal started so far
  std::uint64_t idle_look = 0;    // the last look that found nothing to send (its number)
  bool storing = false;           // a Store call is outstanding, since store_began
  bool busy = false;              // an upgrade runs: batches small and paced
  Clock::time_point store_began;
  ForwarderState state;

  // The store in use, for a cancel from another thread; its own lock, since
  // a cancel may block in the driver.
  std::mutex cancel_mutex;
  RecordStore* store = nullptr;
  bool cancel_done = false;  // under mutex

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stop;
  }
  bool Busy() {
    std::lock_guard lock(mutex);
    return busy;
  }
  // Waits `pause`, or less when stopped (or woken, when `wakeable`).
  void Pause(std::chrono::milliseconds pause, bool wakeable) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, pause, [&] { return stop || (wakeable && wake); });
    wake = false;
  }
};

namespace {

class Worker {
 public:
  Worker(std::shared_ptr<ForwarderShared> sh, std::string journal, StoreOpener opener, ForwarderTimes times)
      : sh_(std::move(sh)), journal_(std::move(journal)), mark_path_(SentMarkPath(journal_)),
        opener_(std::move(opener)), times_(times), pause_(times.first_retry) {}

  void Run() {
    while (!sh_->Stopping()) {
      if (Look()) sh_->Pause(times_.look_again, true);
    }
    Disconnect();
    lock_.reset();
    {
      std::lock_guard lock(sh_->mutex);
      sh_->done = true;
    }
    sh_->changed.notify_all();
  }

 private:
  // One look at the journal: sends what waits. True when it ended as it
  // should (the caller waits for the next look), false after a failure
  // (already paused for).
  bool Look() {
    std::uint64_t number = 0;
    {
      std::lock_guard lock(sh_->mutex);
      number = ++sh_->looks_begun;
    }
    if (!Lock()) return Counted(number);
    std::string error;
    if (!file_) {
      std::unique_ptr<JournalFile> file;
      const PathLook look = JournalFile::Open(journal_, &file, &error);
      if (look == PathLook::Missing) return Idle(number, true);  // nothing written yet, or removed
      if (look == PathLook::Unreadable) return Failed(error);
      Adopt(std::move(file));
    }
    for (bool moving = false;;) {
      if (!Follow(&error) || !CountNew(&error)) return Failed(error);
      Publish();
      if (retry_refused_ && !RetryRefused()) return false;
      if (!SendWaiting()) return false;
      if (sh_->Stopping()) return true;
      if (moving) {
        LeaveRefusedBehind();
        file_.reset();
        return Look();
      }
      // All of the held file is sent. When the path names another file now
      // (renamed, removed and written again, replaced), the held one is read
      // once more for a record written to it meanwhile, then let go. While
      // nothing is at the path the held file is kept: the writer may still
      // be finishing a record in it.
      FileIdentity at;
      if (IdentityAt(journal_, &at, &error) != PathLook::Found || at == file_->Identity()) break;
      moving = true;
    }
    return Idle(number, waiting_ == 0);
  }

  // Takes the journal's lock when it is free. False while another forwarder
  // holds it. A lock file that cannot be made (a folder this user may not
  // write to) does not stop the forwarding: the mark then cannot be kept
  // either, and sending again is harmless.
  bool Lock() {
    if (lock_) return true;
    std::string error;
    switch (JournalLock::Take(journal_, &lock_, &error)) {
      case JournalLock::Outcome::Taken:
        file_.reset();  // the mark is read again: the other forwarder moved it
        SetHeldElsewhere(false);
        return true;
      case JournalLock::Outcome::HeldElsewhere:
        file_.reset();
        SetHeldElsewhere(true);
        return false;
      case JournalLock::Outcome::Failed:
        SetHeldElsewhere(false);
        return true;
    }
    return true;
  }

  void SetHeldElsewhere(bool held) {
    std::lock_guard lock(sh_->mutex);
    sh_->state.held_elsewhere = held;
  }

  // While another forwarder holds the journal: what waits, from its mark;
  // counted again only when the mark or the journal's size changed.
  bool Counted(std::uint64_t number) {
    std::string mark_text;
    ReadMarkFile(mark_path_, &mark_text);
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(std::filesystem::u8path(journal_), ec);
    const std::string key = mark_text + "\n" + (ec ? "-" : std::to_string(size));
    if (key != counted_key_ || !elsewhere_count_.read) elsewhere_count_ = CountWaiting(journal_);
    counted_key_ = key;
    const WaitingCount& count = elsewhere_count_;
    if (!count.read && !count.missing) return Failed(count.error);
    {
      std::lock_guard lock(sh_->mutex);
      sh_->state.waiting = count.waiting;
      sh_->state.refused = count.refused;
      sh_->state.looked = true;
    }
    return Idle(number, count.waiting == 0);
  }

  // Takes up `file` at the path: from its mark when the mark is this file's
  // and checks out, otherwise from its start under a new mark.
  void Adopt(std::unique_ptr<JournalFile> file) {
    file_ = std::move(file);
    const auto mark = LoadSentMark(mark_path_);
    if (mark && MarkChecksOut(*file_, *mark)) {
      mark_ = *mark;
    } else {
      mark_ = SentMark{};
      mark_.journal = file_->Identity();
      SaveMark();
    }
    cursor_ = counted_end_ = mark_.offset;
    cursor_hash_.reset();
    waiting_ = 0;
    refused_past_ = 0;
    mark_stuck_ = false;
    retry_refused_ = !mark_.refused.empty();
    PublishRefused();
  }

  // The held file shorter than the offset, or other bytes before it (emptied
  // in place and written again): read again from its start.
  bool Follow(std::string* error) {
    std::uint64_t size = 0;
    if (!file_->Size(&size, error)) return false;
    if (size >= cursor_ && TextAtCursorKept()) return true;
    LeaveRefusedBehind();
    mark_ = SentMark{};
    mark_.journal = file_->Identity();
    SaveMark();
    cursor_ = counted_end_ = 0;
    cursor_hash_.reset();
    waiting_ = 0;
    refused_past_ = 0;
    mark_stuck_ = false;
    retry_refused_ = false;
    PublishRefused();
    return true;
  }

  std::uint64_t HashAtCursor() const { return cursor_hash_ ? *cursor_hash_ : mark_.last_line_hash; }

  // The line that ends at the cursor is still the one sent last: the file
  // was not emptied in place and written again since.
  bool TextAtCursorKept() {
    std::string line;
    return cursor_ == 0 || (LineEndingAt(*file_, cursor_, &line) && LineHash(line) == HashAtCursor());
  }

  // Counts the records written since the last look.
  bool CountNew(std::string* error) {
    std::uint64_t records = 0;
    if (!CountRecords(*file_, counted_end_, &records, &counted_end_, error)) return false;
    waiting_ += records;
    return true;
  }

  void Publish() {
    {
      std::lock_guard lock(sh_->mutex);
      sh_->state.waiting = waiting_;
      sh_->state.looked = true;
    }
    sh_->changed.notify_all();
  }

  void PublishRefused() {
    std::lock_guard lock(sh_->mutex);
    sh_->state.refused = mark_.refused.size() + refused_past_ + refused_rotated_;
    sh_->state.refused_rotated = refused_rotated_;
  }

  // The held file's refused records stay in it when it is let go (renamed,
  // removed, replaced) or its text is gone from the path (emptied in place,
  // a copy kept elsewhere): the mark taken up next is the path's new file's,
  // so they are counted apart and never again as tried by this forwarder.
  void LeaveRefusedBehind() {
    refused_rotated_ += mark_.refused.size() + refused_past_;
    mark_.refused.clear();
    refused_past_ = 0;
    PublishRefused();
  }

  // Sends the records from the cursor to the last counted line, a batch at
  // a time. False after a failure.
  bool SendWaiting() {
    std::vector<JournalLine> lines;
    while (cursor_ < counted_end_ && !sh_->Stopping()) {
      std::string error;
      // The pause comes before the read, so that what is read is sent at once.
      if (!Paced()) return false;
      if (!ReadLines(*file_, cursor_, BatchLines(), kBatchBytes, &lines, &error)) return Failed(error);
      // Only what was counted: a line appended since is counted by the next look.
      while (!lines.empty() && lines.back().end > counted_end_) lines.pop_back();
      // Emptied in place and written again between the look and this read:
      // the lines read belong to the new text, past its start. Nothing of
      // them goes; the next look reads the file again from its start.
      if (lines.empty() || !TextAtCursorKept()) break;
      std::vector<RecordRow> rows;
      std::vector<std::size_t> line_of;  // the line each row came from
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (auto row = ParseRecord(lines[i].text)) {
          rows.push_back(std::move(*row));
          line_of.push_back(i);
        }
      }
      std::vector<RowResult> results;
      if (!rows.empty() && !Store(rows, &results)) return false;
      std::uint64_t sent = 0;
      for (std::size_t k = 0; k < rows.size(); ++k) {
        if (results[k].outcome != RowOutcome::Refused) {
          ++sent;
          continue;
        }
        const std::size_t i = line_of[k];
        SetAside({i == 0 ? cursor_ : lines[i - 1].end, lines[i].end, rows[k].record_id}, results[k].reason);
      }
      Advance(lines.back(), sent, rows.size());
    }
    return true;
  }

  // Tries again the records refused before, the first thing after taking
  // up a journal. False after a failure.
  bool RetryRefused() {
    std::vector<RefusedRecord> kept;
    std::vector<RefusedRecord> trying;
    std::vector<RecordRow> rows;
    std::uint64_t sent = 0;
    auto send = [&]() {
      std::vector<RowResult> results;
      if (!rows.empty() && !Store(rows, &results)) return false;
      for (std::size_t k = 0; k < rows.size(); ++k) {
        if (results[k].outcome == RowOutcome::Refused) {
          kept.push_back(trying[k]);
          std::lock_guard lock(sh_->mutex);
          sh_->state.refused_reason = results[k].reason;
        } else {
          ++sent;
        }
      }
      rows.clear();
      trying.clear();
      return true;
    };
    for (const RefusedRecord& r : mark_.refused) {
      std::string line;
      // The record must still be where the mark says; one that is not was
      // never this journal's (the mark checked out, so this is only a
      // safeguard) and is dropped.
      std::optional<RecordRow> row;
      if (LineEndingAt(*file_, r.end, &line) && r.end - line.size() - 1 == r.start) row = ParseRecord(line);
      if (!row || row->record_id != r.record_id) continue;
      rows.push_back(std::move(*row));
      trying.push_back(r);
      if (rows.size() >= BatchLines() && !send()) return false;
    }
    if (!send()) return false;
    retry_refused_ = false;
    mark_.refused = std::move(kept);
    SaveMark();
    {
      std::lock_guard lock(sh_->mutex);
      sh_->state.sent += sent;
    }
    PublishRefused();
    return true;
  }

  // At most this many lines to a batch now.
  std::size_t BatchLines() { return sh_->Busy() ? kBusyBatchLines : kBatchLines; }

  // While busy, waits until the pause after the last batch has passed; not
  // busy (or no longer), at once. Wake does not cut it short: a record
  // appended meanwhile goes with the next batch. False when stopped.
  bool Paced() {
    std::unique_lock lock(sh_->mutex);
    sh_->changed.wait_until(lock, next_batch_, [&] { return sh_->stop || !sh_->busy; });
    return !sh_->stop;
  }

  // A batch that began at `began` has ended (or failed): the next one may
  // begin, while busy, after kBusyPauseFactor times as long, within the
  // pause's bounds.
  void Spaced(Clock::time_point began) {
    const Clock::time_point now = Clock::now();
    Clock::duration pause = std::max<Clock::duration>(times_.busy_least_pause, (now - began) * kBusyPauseFactor);
    pause = std::min<Clock::duration>(pause, times_.busy_longest_pause);
    next_batch_ = now + pause;
  }

  // Hands `rows` to the store (opened first when there is none), after the
  // pause that pacing asks for. False after a failure: the store goes, and
  // nothing of the batch counts; false too when stopped during the pause.
  bool Store(const std::vector<RecordRow>& rows, std::vector<RowResult>* results) {
    if (!Paced()) return false;
    const Clock::time_point began = Clock::now();
    const bool stored = StoreNow(rows, results);
    Spaced(began);
    return stored;
  }

  bool StoreNow(const std::vector<RecordRow>& rows, std::vector<RowResult>* results) {
    // The login counts as outstanding too: a server that never answers it
    // is reported like one that never answers a statement.
    {
      std::lock_guard lock(sh_->mutex);
      sh_->storing = true;
      sh_->store_began = Clock::now();
    }
    const auto done = [&] {
      std::lock_guard lock(sh_->mutex);
      sh_->storing = false;
    };
    std::string error;
    if (!store_ && !Connect(&error)) {
      done();
      Failed(error);
      return false;
    }
    const bool stored = store_->Store(rows, results, &error);
    done();
    if (stored && results->size() == rows.size()) return true;
    if (stored) error = "the database answered for " + std::to_string(results->size()) + " of " +
                        std::to_string(rows.size()) + " records";
    Disconnect();
    if (!sh_->Stopping()) Failed(error);
    return false;
  }

  bool Connect(std::string* error) {
    std::unique_ptr<RecordStore> store = opener_(error);
    if (!store) return false;
    std::lock_guard lock(sh_->cancel_mutex);
    store_ = std::move(store);
    sh_->store = store_.get();
    return true;
  }

  void Disconnect() {
    std::unique_ptr<RecordStore> store;
    {
      std::lock_guard lock(sh_->cancel_mutex);
      sh_->store = nullptr;
      store = std::move(store_);
    }
    // Closed outside the lock: a cancel in progress never waits for it.
  }

  // A refused record, kept in the journal and named in the mark (when the
  // mark has room: past kMostRefusedKept the mark stays before it).
  void SetAside(const RefusedRecord& r, const std::string& reason) {
    if (mark_.refused.size() < kMostRefusedKept && !mark_stuck_) {
      mark_.refused.push_back(r);
    } else {
      mark_stuck_ = true;
      ++refused_past_;
    }
    std::lock_guard lock(sh_->mutex);
    sh_->state.refused = mark_.refused.size() + refused_past_ + refused_rotated_;
    sh_->state.refused_reason = reason;
  }

  // The cursor, and the mark with it, moves past `last` (and the batch
  // that ends with it): `sent` records the database has, of `records`.
  void Advance(const JournalLine& last, std::uint64_t sent, std::uint64_t records) {
    cursor_ = last.end;
    cursor_hash_ = LineHash(last.text);
    std::string error;
    bool kept = true;
    if (!mark_stuck_) {
      mark_.offset = last.end;
      mark_.last_line_hash = *cursor_hash_;
      const auto row = ParseRecord(last.text);
      mark_.last_record_id = row ? row->record_id : "";
      kept = SaveMark(&error);
    }
    pause_ = times_.first_retry;
    waiting_ -= std::min(waiting_, records);
    {
      std::lock_guard lock(sh_->mutex);
      sh_->state.sent += sent;
      sh_->state.waiting = waiting_;
      // A mark that cannot be kept only means more to send again later.
      sh_->state.reason = kept ? "" : error;
    }
    sh_->changed.notify_all();
  }

  bool SaveMark(std::string* error = nullptr) {
    std::string ignored;
    return SaveSentMark(mark_path_, mark_, error ? error : &ignored);
  }

  // Ends a look: `idle` when it found nothing left to send.
  bool Idle(std::uint64_t number, bool idle) {
    {
      std::lock_guard lock(sh_->mutex);
      sh_->state.looked = true;
      if (idle) {
        sh_->idle_look = number;
        sh_->state.waiting = 0;
      }
    }
    sh_->changed.notify_all();
    return true;
  }

  bool Failed(const std::string& reason) {
    {
      std::lock_guard lock(sh_->mutex);
      ++sh_->state.failures;
      sh_->state.reason = reason;
    }
    sh_->changed.notify_all();
    sh_->Pause(pause_, false);
    pause_ = std::min<std::chrono::milliseconds>(pause_ * 2, times_.longest_retry);
    return false;
  }

  const std::shared_ptr<ForwarderShared> sh_;
  const std::string journal_;
  const std::string mark_path_;
  const StoreOpener opener_;
  const ForwarderTimes times_;
  std::unique_ptr<RecordStore> store_;
  std::unique_ptr<JournalLock> lock_;
  std::unique_ptr<JournalFile> file_;  // the journal taken up, read through its own descriptor
  SentMark mark_;                      // as kept on the disk (unless mark_stuck_)
  bool mark_stuck_ = false;            // a refused record past kMostRefusedKept holds the mark
  std::uint64_t refused_past_ = 0;     // refused records the mark had no room for
  std::uint64_t refused_rotated_ = 0;  // refused records left in files let go since Start
  std::uint64_t cursor_ = 0;           // the next line to send
  std::optional<std::uint64_t> cursor_hash_;  // LineHash of the line ending at the cursor, once moved
  std::uint64_t counted_end_ = 0;      // the end of the last line counted
  std::uint64_t waiting_ = 0;          // records between the cursor and counted_end_
  bool retry_refused_ = false;
  std::chrono::milliseconds pause_;
  Clock::time_point next_batch_{};   // while busy, no batch begins before this
  std::string counted_key_;          // the mark and the journal's size, as last counted while held elsewhere
  WaitingCount elsewhere_count_;
};

}  // namespace

RecordForwarder::RecordForwarder(std::string journal_utf8_path, std::string connection)
    : RecordForwarder(std::move(journal_utf8_path), [connection = std::move(connection)](std::string* error) {
        return OpenOdbcStore(connection, error);
      }) {}

RecordForwarder::RecordForwarder(std::string journal_utf8_path, StoreOpener opener, ForwarderTimes times)
    : journal_(std::move(journal_utf8_path)), opener_(std::move(opener)), times_(times),
      shared_(std::make_shared<ForwarderShared>()) {}

RecordForwarder::~RecordForwarder() {
  if (thread_.joinable()) Stop(kStopLimit);
}

bool RecordForwarder::Start(std::string* error) {
  try {
    thread_ = std::thread([sh = shared_, journal = journal_, opener = opener_, times = times_] {
      Worker(sh, journal, opener, times).Run();
    });
  } catch (const std::system_error& e) {
    *error = std::string("the records thread could not start: ") + e.what();
    return false;
  }
  return true;
}

void RecordForwarder::SetBusy(bool busy) {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->busy = busy;
  }
  shared_->changed.notify_all();
}

void RecordForwarder::Wake() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->wake = true;
  }
  shared_->changed.notify_all();
}

ForwarderState RecordForwarder::State() const {
  std::lock_guard lock(shared_->mutex);
  ForwarderState state = shared_->state;
  state.not_answering = shared_->storing && Clock::now() - shared_->store_began >= times_.not_answering;
  return state;
}

bool RecordForwarder::WaitSent(std::chrono::milliseconds limit) {
  std::unique_lock lock(shared_->mutex);
  const std::uint64_t failures = shared_->state.failures;
  // Only a look that begins after this call has seen what was appended before it.
  const std::uint64_t after = shared_->looks_begun;
  lock.unlock();
  Wake();
  lock.lock();
  const auto sent = [&] { return shared_->idle_look > after; };
  shared_->changed.wait_for(lock, limit, [&] { return shared_->done || sent() || shared_->state.failures != failures; });
  return sent() && shared_->state.failures == failures;
}
bool RecordForwarder::Stop(std::chrono::milliseconds limit) {
  if (!thread_.joinable()) return true;
  const auto end = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(shared_->mutex);
  shared_->stop = true;
  shared_->changed.notify_all();
  shared_->changed.wait_for(lock, std::min<std::chrono::milliseconds>(kCancelAfter, limit),
                            [&] { return shared_->done; });
  std::thread canceller;
  if (!shared_->done) {
    lock.unlock();
    try {
      canceller = std::thread([sh = shared_] {
        {
          std::lock_guard cancel_lock(sh->cancel_mutex);
          if (sh->store != nullptr) sh->store->Cancel();
        }
        std::lock_guard done_lock(sh->mutex);
        sh->cancel_done = true;
        sh->changed.notify_all();
      });
    } catch (const std::system_error&) {
      // No helper: the limit below still holds.
    }
    lock.lock();
    shared_->changed.wait_until(lock, end, [&] { return shared_->done; });
  }
  const bool done = shared_->done;
  const bool cancel_done = shared_->cancel_done;
  lock.unlock();
  if (done) {
    thread_.join();
  } else {
    thread_.detach();
  }
  if (canceller.joinable()) {
    if (cancel_done) {
      canceller.join();
    } else {
      canceller.detach();
    }
  }
  return done;
}

}  // namespace zevuvuri::records
