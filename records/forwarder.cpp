#include "records/forwarder.h"

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "records/journal.h"
#include "records/odbc_store.h"
#include "records/sent_mark.h"

namespace zevuvuri::records {
namespace {

// Records to one Store call (one transaction when none is refused).
constexpr std::size_t kBatch = 1000;
// At Stop, a statement still running after this long is cancelled.
constexpr auto kCancelAfter = std::chrono::milliseconds{300};

std::uint64_t FileSize(const std::string& utf8_path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(std::filesystem::u8path(utf8_path), ec);
  return ec ? 0 : size;
}

// A mark past the journal's end belongs to an earlier journal of that name:
// this one is sent from its start (what the database has is taken as sent).
std::uint64_t StartingMark(const std::string& journal) {
  const std::uint64_t mark = LoadSentMark(SentMarkPath(journal));
  return mark <= FileSize(journal) ? mark : 0;
}

}  // namespace

struct ForwarderShared {
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  bool wake = false;
  bool done = false;   // the thread has left its loop
  bool idle = false;   // the last look found nothing to send
  ForwarderState state;

  // The connection in use, for a cancel from another thread; its own lock,
  // since SQLCancel may block in the driver.
  std::mutex cancel_mutex;
  RecordStore* store = nullptr;
  bool cancel_done = false;  // under mutex

  bool Stopping() {
    std::lock_guard lock(mutex);
    return stop;
  }
  // Waits `pause`, or less when stopped (or woken, when `wakeable`).
  void Pause(std::chrono::milliseconds pause, bool wakeable) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, pause, [&] { return stop || (wakeable && wake); });
    wake = false;
  }
};

namespace {

void Work(const std::shared_ptr<ForwarderShared>& sh, const std::string& journal,
          const std::string& connection);

}  // namespace

RecordForwarder::RecordForwarder(std::string journal_utf8_path, std::string connection)
    : journal_(std::move(journal_utf8_path)), connection_(std::move(connection)),
      shared_(std::make_shared<ForwarderShared>()) {}

RecordForwarder::~RecordForwarder() {
  if (thread_.joinable()) Stop(kStopLimit);
}

bool RecordForwarder::Start(std::string* error) {
  try {
    thread_ = std::thread([sh = shared_, journal = journal_, connection = connection_] {
      Work(sh, journal, connection);
    });
  } catch (const std::system_error& e) {
    *error = std::string("the records thread could not start: ") + e.what();
    return false;
  }
  return true;
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
  return shared_->state;
}

bool RecordForwarder::WaitSent(std::chrono::milliseconds limit) {
  std::unique_lock lock(shared_->mutex);
  const std::uint64_t failures = shared_->state.failures;
  // A look that began before this call may have missed the newest record.
  shared_->idle = false;
  lock.unlock();
  Wake();
  lock.lock();
  shared_->changed.wait_for(lock, limit, [&] {
    return shared_->done || shared_->idle || shared_->state.failures != failures;
  });
  return shared_->idle && shared_->state.failures == failures;
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

std::uint64_t CountWaiting(const std::string& journal_utf8_path) {
  std::vector<JournalLine> lines;
  std::string error;
  if (!ReadJournal(journal_utf8_path, StartingMark(journal_utf8_path), SIZE_MAX, &lines, &error)) return 0;
  return static_cast<std::uint64_t>(
      std::count_if(lines.begin(), lines.end(), [](const JournalLine& l) { return ParseRecord(l.text).has_value(); }));
}

namespace {

class Worker {
 public:
  Worker(std::shared_ptr<ForwarderShared> sh, std::string journal, std::string connection)
      : sh_(std::move(sh)), journal_(std::move(journal)), mark_path_(SentMarkPath(journal_)),
        connection_(std::move(connection)) {}

  void Run() {
    offset_ = StartingMark(journal_);
    while (!sh_->Stopping()) {
      if (FileSize(journal_) < offset_) offset_ = 0;  // replaced by a new journal
      std::vector<JournalLine> lines;
      std::string error;
      if (!ReadJournal(journal_, offset_, SIZE_MAX, &lines, &error)) {
        Failed(error);
        continue;
      }
      std::vector<std::optional<RecordRow>> rows;
      std::uint64_t records = 0;
      for (const auto& line : lines) {
        rows.push_back(ParseRecord(line.text));
        records += rows.back() ? 1 : 0;
      }
      {
        std::lock_guard lock(sh_->mutex);
        sh_->state.waiting = records;
        sh_->state.looked = true;
        sh_->idle = records == 0;
      }
      sh_->changed.notify_all();
      if (records == 0) {
        // Lines that are no records (torn text) are passed over once.
        if (!lines.empty()) Advance(lines.back().end, 0);
        sh_->Pause(kLookAgain, true);
        continue;
      }
      if (!store_ && !Connect()) continue;
      Send(lines, rows);
    }
    Disconnect();
    {
      std::lock_guard lock(sh_->mutex);
      sh_->done = true;
    }
    sh_->changed.notify_all();
  }

 private:
  bool Connect() {
    std::string error;
    auto store = OpenOdbcStore(connection_, &error);
    if (!store) {
      Failed(error);
      return false;
    }
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

  // The records in `lines` in order, kBatch to a Store call; ends at a
  // failure, a refused record (the mark stays before it: it is tried again
  // later) or a stop.
  void Send(const std::vector<JournalLine>& lines, const std::vector<std::optional<RecordRow>>& rows) {
    for (std::size_t first = 0; first < lines.size();) {
      if (sh_->Stopping()) return;
      const std::size_t last = std::min(lines.size(), first + kBatch);
      std::vector<RecordRow> batch;
      for (std::size_t i = first; i < last; ++i) {
        if (rows[i]) batch.push_back(*rows[i]);
      }
      std::vector<RowResult> results;
      std::string error;
      if (!store_->Store(batch, &results, &error)) {
        Lost(error);
        return;
      }
      // The mark moves once, past the last line before a refused record.
      std::size_t k = 0;
      std::size_t end = first;
      std::uint64_t records = 0;
      const RowResult* refused = nullptr;
      for (; end < last; ++end) {
        if (!rows[end]) continue;
        if (results[k].outcome == RowOutcome::Refused) {
          refused = &results[k];
          break;
        }
        ++k;
        ++records;
      }
      if (end > first) Advance(lines[end - 1].end, records);
      if (refused != nullptr) {
        {
          std::lock_guard lock(sh_->mutex);
          sh_->state.refused = 1;  // the one that holds the others back
          sh_->state.refused_reason = refused->reason;
        }
        Failed(refused->reason);
        return;
      }
      first = last;
    }
  }

  // The connection failed (or was cancelled by Stop): it goes, and the
  // transaction's records are sent again on the next.
  void Lost(const std::string& error) {
    Disconnect();
    if (!sh_->Stopping()) Failed(error);
  }

  // The mark moves past a line that the database has, or that is no record.
  void Advance(std::uint64_t end, std::uint64_t records) {
    offset_ = end;
    std::string error;
    const bool kept = SaveSentMark(mark_path_, offset_, &error);
    pause_ = kFirstRetryPause;
    std::lock_guard lock(sh_->mutex);
    sh_->state.sent += records;
    sh_->state.waiting -= std::min(sh_->state.waiting, records);
    // A mark that cannot be kept only means more to send again later.
    sh_->state.reason = kept ? "" : error;
  }

  void Failed(const std::string& reason) {
    {
      std::lock_guard lock(sh_->mutex);
      ++sh_->state.failures;
      sh_->state.reason = reason;
    }
    sh_->changed.notify_all();
    sh_->Pause(pause_, false);
    pause_ = std::min<std::chrono::milliseconds>(pause_ * 2, kLongestRetryPause);
  }

  const std::shared_ptr<ForwarderShared> sh_;
  const std::string journal_;
  const std::string mark_path_;
  const std::string connection_;
  std::unique_ptr<RecordStore> store_;
  std::uint64_t offset_ = 0;
  std::chrono::milliseconds pause_ = kFirstRetryPause;
};

void Work(const std::shared_ptr<ForwarderShared>& sh, const std::string& journal,
          const std::string& connection) {
  Worker(sh, journal, connection).Run();
}

}  // namespace

}  // namespace zevuvuri::records
