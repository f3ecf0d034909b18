#include "ui/win32/window_thread_sinks.h"

#include <string>
#include <utility>

namespace zevuvuri::ui::win32 {

WindowThreadSinks::WindowThreadSinks() : window_thread_(::GetCurrentThreadId()) {}

WindowThreadSinks::~WindowThreadSinks() { StopForwarding(); }

void WindowThreadSinks::SetWindow(HWND window) {
  std::lock_guard lock(mutex_);
  window_ = window;
}

void WindowThreadSinks::StopForwarding() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    window_ = nullptr;
    queue_.clear();
  }
  done_cv_.notify_all();
}

void WindowThreadSinks::Forward(std::function<void(UpgradeSinks&)> run) {
  if (::GetCurrentThreadId() == window_thread_) {
    bool stopped;
    {
      std::lock_guard lock(mutex_);
      stopped = stopped_;
    }
    if (!stopped && target_ != nullptr) run(*target_);
    return;
  }
  auto call = std::make_shared<Call>();
  call->run = std::move(run);
  std::unique_lock lock(mutex_);
  if (stopped_ || window_ == nullptr) return;
  queue_.push_back(call);
  // The message carries nothing: the calls stay owned by the queue, so a
  // message that is never dispatched leaks nothing.
  if (!::PostMessageW(window_, kRunSinkCalls, 0, 0)) {
    queue_.pop_back();
    return;
  }
  done_cv_.wait(lock, [&] { return call->done || stopped_; });
}

void WindowThreadSinks::RunQueuedCalls() {
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex_);
      if (stopped_ || queue_.empty()) return;
      call = queue_.front();
      queue_.pop_front();
    }
    // Run without the lock: a sink may take as long as drawing takes, and may
    // even end the process.
    if (target_ != nullptr) call->run(*target_);
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

}  // namespace zevuvuri::ui::win32
