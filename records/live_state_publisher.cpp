#include "records/live_state_publisher.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

namespace zevuvuri::records {

using Clock = std::chrono::steady_clock;

// The time a stop leaves for the cancel to end a statement before the
// deadline.
constexpr auto kCancelBefore = std::chrono::milliseconds{300};

struct LiveShared {
  LiveShared(LiveStation s, std::vector<LiveSlot> first, LiveRun r, LiveTimes times)
      : station(std::move(s)), slots(std::move(first)), run(std::move(r)), throttle(slots.size(), times) {}

  std::mutex mutex;
  std::condition_variable changed;
  LiveStation station;
  std::vector<LiveSlot> slots;
  LiveRun run;
  LiveStateThrottle throttle;
  bool ending = false;
  bool stop = false;
  bool done = false;
  bool end_written = false;
  bool woken = false;  // a state changed since the thread last looked
  std::optional<std::string> news;

  // The writer in use, for a Cancel from the stopping thread.
  std::mutex cancel_mutex;
  LiveStateWriter* writer = nullptr;
  bool cancel_done = false;
};

namespace {

// The thread: connects, writes what is due, waits for the next change or
// beat, until the run's end is written, a stop, or a state that cannot be
// written at all.
class LiveWorker {
 public:
  LiveWorker(std::shared_ptr<LiveShared> shared, LiveWriterOpener opener, LiveTimes times)
      : sh_(std::move(shared)), opener_(std::move(opener)), times_(times) {}

  void Run() {
    std::unique_lock lock(sh_->mutex);
    while (!sh_->stop && Step(lock)) {
    }
    Drop(lock);
    sh_->done = true;
    sh_->changed.notify_all();
  }

 private:
  // False: the thread ends.
  bool Step(std::unique_lock<std::mutex>& lock) {
    if (!writer_) return Connect(lock);
    const auto now = Clock::now();
    const bool ending = sh_->ending;
    const auto due = sh_->throttle.TakeDueSlots(now, ending);
    const bool run = sh_->throttle.TakeRun(now);
    const bool beat = !run && !ending && sh_->throttle.TakeBeat(now);
    if (due.empty() && !run && !beat && !ending) {
      sh_->changed.wait_until(lock, sh_->throttle.NextDue(), [&] { return sh_->stop || sh_->ending || woken_(); });
      return true;
    }
    std::vector<LiveSlot> slots;
    for (std::size_t i : due) slots.push_back(sh_->slots[i]);
    const LiveRun run_now = sh_->run;
    lock.unlock();
    std::string error;
    LiveWrite result = LiveWrite::Done;
    std::size_t written = 0;
    for (; written < slots.size() && result == LiveWrite::Done; ++written) {
      result = writer_->Slot(slots[written], &error);
    }
    if (result != LiveWrite::Done) --written;
    bool run_written = false;
    if (result == LiveWrite::Done && run) {
      result = writer_->Run(run_now, &error);
      run_written = result == LiveWrite::Done;
    }
    if (result == LiveWrite::Done && beat) result = writer_->Beat(&error);
    if (result == LiveWrite::Done && ending) result = writer_->End(&error);
    lock.lock();
    if (result == LiveWrite::Done) {
      if (!ending) return true;
      sh_->end_written = true;
      return false;
    }
    for (std::size_t i = written; i < slots.size(); ++i) sh_->throttle.SlotUnwritten(due[i]);
    if (run && !run_written) sh_->throttle.RunUnwritten();
    return Failed(lock, result, error);
  }

  bool Connect(std::unique_lock<std::mutex>& lock) {
    // At the run's end one more attempt is made at once, however recent the last.
    const bool last_chance = sh_->ending && !tried_ending_;
    if (!last_chance && Clock::now() < next_connect_) {
      sh_->changed.wait_until(lock, next_connect_, [&] { return sh_->stop || (sh_->ending && !tried_ending_); });
      return true;
    }
    if (sh_->ending) tried_ending_ = true;
    const LiveStation station = sh_->station;
    lock.unlock();
    std::string error;
    std::unique_ptr<LiveStateWriter> writer = opener_(&error);
    LiveWrite result = LiveWrite::Failed;
    if (writer) {
      {
        std::lock_guard cancel_lock(sh_->cancel_mutex);
        sh_->writer = writer.get();
      }
      writer_ = std::move(writer);
      result = writer_->Open(station, &error);
    }
    lock.lock();
    if (result != LiveWrite::Done) return Failed(lock, result, error);
    // Everything again on a new connection: the rows may have gone stale, or never been written.
    sh_->throttle.AllChanged();
    sh_->throttle.TakeBeat(Clock::now());
    return true;
  }

  // A write or a connection failed: the connection is dropped; false when
  // nothing more is to be tried.
  bool Failed(std::unique_lock<std::mutex>& lock, LiveWrite result, const std::string& error) {
    Drop(lock);
    if (result == LiveWrite::NotPossible) {
      sh_->news = "the station's live state is not published: " + error;
      return false;
    }
    next_connect_ = Clock::now() + times_.reconnect;
    // At the end, once the last attempt has failed too, there is nothing left to wait for.
    return !(sh_->ending && tried_ending_);
  }

  // The connection goes outside the lock: a frozen server may hold its close.
  void Drop(std::unique_lock<std::mutex>& lock) {
    if (!writer_) return;
    {
      std::lock_guard cancel_lock(sh_->cancel_mutex);
      sh_->writer = nullptr;
    }
    lock.unlock();
    writer_.reset();
    lock.lock();
  }

  // Whether a change came since the last look (SetSlot/SetRun notify).
  bool woken_() { return std::exchange(sh_->woken, false); }

  std::shared_ptr<LiveShared> sh_;
  const LiveWriterOpener opener_;
  const LiveTimes times_;
  std::unique_ptr<LiveStateWriter> writer_;
  Clock::time_point next_connect_{};
  bool tried_ending_ = false;
};

}  // namespace

LiveStatePublisher::LiveStatePublisher(LiveStation station, std::vector<LiveSlot> first, LiveRun run,
                                       LiveWriterOpener opener, LiveTimes times)
    : shared_(std::make_shared<LiveShared>(std::move(station), std::move(first), std::move(run), times)),
      opener_(std::move(opener)),
      times_(times) {}

LiveStatePublisher::~LiveStatePublisher() {
  if (thread_.joinable()) Stop(Clock::now() + kStopLimit);
}

bool LiveStatePublisher::Start(std::string* error) {
  try {
    thread_ = std::thread([sh = shared_, opener = opener_, times = times_] { LiveWorker(sh, opener, times).Run(); });
  } catch (const std::system_error& e) {
    *error = std::string("the live state's thread could not start: ") + e.what();
    return false;
  }
  return true;
}

void LiveStatePublisher::SetSlot(LiveSlot slot) {
  std::lock_guard lock(shared_->mutex);
  const std::size_t i = static_cast<std::size_t>(slot.slot);
  if (i >= shared_->slots.size() || shared_->slots[i] == slot) return;
  shared_->slots[i] = std::move(slot);
  // A slot already waiting for its gap wakes nobody: its state is taken when the gap ends.
  if (!shared_->throttle.SlotChanged(i)) return;
  shared_->woken = true;
  shared_->changed.notify_all();
}

void LiveStatePublisher::SetRun(LiveRun run) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->run == run) return;
  shared_->run = std::move(run);
  shared_->throttle.RunChanged();
  shared_->woken = true;
  shared_->changed.notify_all();
}

std::optional<std::string> LiveStatePublisher::News() {
  std::lock_guard lock(shared_->mutex);
  return std::exchange(shared_->news, std::nullopt);
}

void LiveStatePublisher::Ending() {
  std::lock_guard lock(shared_->mutex);
  shared_->ending = true;
  shared_->changed.notify_all();
}

bool LiveStatePublisher::Stop(Clock::time_point deadline) {
  if (!thread_.joinable()) return shared_->end_written;
  std::unique_lock lock(shared_->mutex);
  if (!shared_->ending) shared_->stop = true;
  shared_->changed.notify_all();
  shared_->changed.wait_until(lock, deadline - kCancelBefore, [&] { return shared_->done; });
  std::thread canceller;
  if (!shared_->done) {
    shared_->stop = true;
    lock.unlock();
    try {
      canceller = std::thread([sh = shared_] {
        {
          std::lock_guard cancel_lock(sh->cancel_mutex);
          if (sh->writer != nullptr) sh->writer->Cancel();
        }
        std::lock_guard done_lock(sh->mutex);
        sh->cancel_done = true;
        sh->changed.notify_all();
      });
    } catch (const std::system_error&) {
      // No helper: the deadline below still holds.
    }
    lock.lock();
    shared_->changed.wait_until(lock, deadline, [&] { return shared_->done; });
  }
  const bool done = shared_->done;
  const bool written = shared_->end_written;
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
  return done && written;
}

}  // namespace zevuvuri::records
