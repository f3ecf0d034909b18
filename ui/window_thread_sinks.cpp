#include "ui/window_thread_sinks.h"

#include <cstdint>
#include <string>
#include <utility>

namespace zevuvuri::ui {

WindowThreadSinks::WindowThreadSinks(WindowThreadWakeUp& wake_up, UpgradeSinks& target)
    : wake_up_(wake_up), target_(target), window_thread_(std::this_thread::get_id()) {}

WindowThreadSinks::~WindowThreadSinks() { StopForwarding(); }

void WindowThreadSinks::StopForwarding() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    queue_.clear();
  }
  done_cv_.notify_all();
}

std::size_t WindowThreadSinks::WaitingCalls() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

void WindowThreadSinks::Forward(std::function<void(UpgradeSinks&)> run) {
  if (std::this_thread::get_id() == window_thread_) {
    // The calls queued before this one first (a worker's last calls may still
    // wait for their wake-up when the window thread makes its own), and only
    // those: the ones queued meanwhile come after it.
    std::size_t earlier;
    {
      std::lock_guard lock(mutex_);
      earlier = queue_.size();
    }
    RunCalls(earlier);
    bool stopped;
    {
      std::lock_guard lock(mutex_);
      stopped = stopped_;
    }
    if (!stopped) run(target_);
    return;
  }
  auto call = std::make_shared<Call>();
  call->run = std::move(run);
  std::unique_lock lock(mutex_);
  if (stopped_) return;
  queue_.push_back(call);
  // Posted with the lock held, so that once StopForwarding has returned no
  // wake-up is under way and the toolkit may take its window down. The
  // wake-up carries nothing: a wake-up never delivered loses nothing.
  if (!wake_up_.PostWakeUp()) {
    queue_.pop_back();
    return;
  }
  ++waiting_;
  done_cv_.wait(lock, [&] { return call->done || stopped_; });
  --waiting_;
}

void WindowThreadSinks::RunQueuedCalls() { RunCalls(SIZE_MAX); }

void WindowThreadSinks::UnblockPreviousWorker() {
  if (std::this_thread::get_id() == window_thread_) RunQueuedCalls();
}

void WindowThreadSinks::RunCalls(std::size_t count) {
  for (; count > 0; --count) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex_);
      if (stopped_ || queue_.empty()) return;
      call = std::move(queue_.front());
      queue_.pop_front();
    }
    // Run without the lock: a sink may take as long as drawing takes. Marked
    // as a sink call, so that a Start made inside it is refused at once: the
    // worker that made it waits for it to return.
    {
      SinkCallScope scope;
      call->run(target_);
    }
    {
      std::lock_guard lock(mutex_);
      call->done = true;
    }
    done_cv_.notify_all();
  }
}

void WindowThreadSinks::SetStatus(std::string_view text) {
  Forward([text = std::string(text)](UpgradeSinks& sinks) { sinks.SetStatus(text); });
}

void WindowThreadSinks::SetButtonCaption(std::string_view text) {
  Forward([text = std::string(text)](UpgradeSinks& sinks) { sinks.SetButtonCaption(text); });
}

void WindowThreadSinks::EnableButton(bool enabled) {
  Forward([enabled](UpgradeSinks& sinks) { sinks.EnableButton(enabled); });
}

void WindowThreadSinks::SetProgressRange(std::uint16_t maximum) {
  Forward([maximum](UpgradeSinks& sinks) { sinks.SetProgressRange(maximum); });
}

void WindowThreadSinks::SetProgressPosition(std::uint32_t position) {
  Forward([position](UpgradeSinks& sinks) { sinks.SetProgressPosition(position); });
}

void WindowThreadSinks::EndProcess() {
  Forward([](UpgradeSinks& sinks) { sinks.EndProcess(); });
}

void WindowThreadSinks::UpgradeEnded(UpgradeOutcome outcome) {
  Forward([outcome](UpgradeSinks& sinks) { sinks.UpgradeEnded(outcome); });
}

void WindowThreadSinks::LinkModeLearned(LinkMode mode) {
  Forward([mode](UpgradeSinks& sinks) { sinks.LinkModeLearned(mode); });
}

void WindowThreadSinks::FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) {
  data_frames_.store(0);
  Forward([size, sha256](UpgradeSinks& sinks) { sinks.FirmwareImageTaken(size, sha256); });
}

void WindowThreadSinks::DataProgress(std::uint64_t /*bytes_sent*/, std::uint64_t /*file_size*/) { ++data_frames_; }

}  // namespace zevuvuri::ui
