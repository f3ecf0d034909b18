// Carries the upgrade's sink calls over to the window thread, for every
// toolkit. A call made on the window thread runs at once, after the calls
// still queued from other threads, so that they all take effect in the order
// they were made. A call from another thread is queued, the toolkit wakes the
// window thread, and the caller waits until the window thread has run it.
// Every message loop of the window thread runs the queue (the main window's,
// and those of the About box, the file dialog and menus), so the calls take
// effect while those are open too.
#pragma once

#include <atomic>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/upgrade_sinks.h"

namespace zevuvuri::ui {

// What the forwarding needs of a toolkit.
class WindowThreadWakeUp {
 public:
  virtual ~WindowThreadWakeUp() = default;
  // Any thread, with the forwarding's lock held, so it must not wait for the
  // window thread: have that thread call WindowThreadSinks::RunQueuedCalls
  // soon. False when it cannot (the window is gone); the call is then dropped.
  virtual bool PostWakeUp() = 0;
};

// Thread contract: constructed, RunQueuedCalls and StopForwarding on the
// window thread (the one that constructs it); the sinks from any thread.
//
// Stopping: UpgradeController::Stop joins the worker, and a worker waiting
// for a window thread that is itself waiting in that join would wait forever.
// StopForwarding releases every waiting call and makes later ones return at
// once without effect; call it before Stop.
//
// Only what the window shows and records is carried over: the six window
// sinks, the upgrade's ending, and the image taken and link mode learned
// (once each per upgrade). Data frames are only counted, so that the stream
// waits for the window thread no more than it did; the other reports stay
// no-ops.
class WindowThreadSinks final : public UpgradeSinks {
 public:
  WindowThreadSinks(WindowThreadWakeUp& wake_up, UpgradeSinks& target);
  ~WindowThreadSinks() override;  // StopForwarding

  void RunQueuedCalls();
  void StopForwarding();

  // Calls from other threads now waiting for the window thread; tests use it
  // to catch the worker inside a call.
  std::size_t WaitingCalls() const;

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view text) override;
  void EnableButton(bool enabled) override;
  void SetProgressRange(std::uint16_t maximum) override;
  void SetProgressPosition(std::uint32_t position) override;
  void EndProcess() override;
  void UpgradeEnded(UpgradeOutcome outcome) override;
  void UnblockPreviousWorker() override;
  void LinkModeLearned(LinkMode mode) override;
  void FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) override;
  void DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) override;

  // Data frames sent since the last image was taken: complete once the
  // upgrade's ending has been carried over (the worker reports it last).
  std::uint64_t DataFramesSent() const { return data_frames_.load(); }

 private:
  struct Call {
    std::function<void(UpgradeSinks&)> run;
    bool done = false;  // under mutex_
  };

  void Forward(std::function<void(UpgradeSinks&)> run);
  std::atomic<std::uint64_t> data_frames_{0};
  void RunCalls(std::size_t count);  // at most `count` from the queue's front

  WindowThreadWakeUp& wake_up_;
  UpgradeSinks& target_;  // window thread only
  const std::thread::id window_thread_;

  mutable std::mutex mutex_;
  std::condition_variable done_cv_;
  std::deque<std::shared_ptr<Call>> queue_;  // under mutex_
  std::size_t waiting_ = 0;                  // under mutex_
  bool stopped_ = false;                     // under mutex_
};

}  // namespace zevuvuri::ui
