// The forwarding of sink calls to the window thread, over a toolkit whose
// wake-ups the test delivers by hand: the order the calls take effect in, on
// which thread, and how stopping lets a waiting worker go.
#include "ui/window_thread_sinks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/upgrade_controller.h"

namespace zevuvuri::ui {
namespace {

using namespace std::chrono_literals;

class HandDeliveredWakeUp final : public WindowThreadWakeUp {
 public:
  bool PostWakeUp() override {
    ++posted;
    return accept;
  }
  std::atomic<int> posted{0};
  std::atomic<bool> accept{true};
};

// Records each call with whether it ran on the window thread.
class Recorder final : public UpgradeSinks {
 public:
  void SetStatus(std::string_view text) override { Note("status " + std::string(text)); }
  void SetButtonCaption(std::string_view text) override { Note("caption " + std::string(text)); }
  void EnableButton(bool enabled) override { Note(enabled ? "enable" : "disable"); }
  void SetProgressRange(std::uint16_t maximum) override { Note("range " + std::to_string(maximum)); }
  void SetProgressPosition(std::uint32_t position) override { Note("position " + std::to_string(position)); }
  void EndProcess() override { Note("end process"); }
  void UpgradeEnded(UpgradeOutcome outcome) override { Note("ended " + std::to_string(static_cast<int>(outcome))); }

  std::vector<std::string> calls;  // window thread only, or the test fails below
  bool off_thread = false;
  std::function<void(const std::string&)> hook;  // after each call is noted

 private:
  void Note(std::string call) {
    if (std::this_thread::get_id() != window_thread_) off_thread = true;
    calls.push_back(std::move(call));
    if (hook) hook(calls.back());
  }
  const std::thread::id window_thread_ = std::this_thread::get_id();
};

// Runs `done` checks until it holds, giving up after `limit`.
template <typename F>
bool Eventually(F done, std::chrono::milliseconds limit = 10s) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A worker's calls wait for the window thread and take effect there, in
// order; a call the window thread makes while one of the worker's is still
// queued takes effect after it, as it was made after it.
TEST(WindowThreadSinks, CallsTakeEffectOnTheWindowThreadInTheOrderMade) {
  HandDeliveredWakeUp wake_up;
  Recorder target;
  WindowThreadSinks sinks(wake_up, target);

  std::atomic<bool> worker_done{false};
  std::thread worker([&] {
    sinks.EnableButton(false);
    sinks.SetStatus("Upgrade OK");
    sinks.UpgradeEnded(UpgradeOutcome::Ok);
    worker_done = true;
  });
  ASSERT_TRUE(Eventually([&] { return sinks.WaitingCalls() == 1; }));
  EXPECT_TRUE(target.calls.empty()) << "a worker's call ran before the window thread took it";
  sinks.SetStatus("Running");  // the window thread's own, while the worker's waits
  while (!worker_done) {
    sinks.RunQueuedCalls();
    std::this_thread::sleep_for(1ms);
  }
  worker.join();
  EXPECT_EQ(target.calls,
            (std::vector<std::string>{"disable", "status Running", "status Upgrade OK", "ended 0"}));
  EXPECT_FALSE(target.off_thread);
  EXPECT_GE(wake_up.posted.load(), 3);
}

// Closing the window: a worker waiting for the window thread is let go, and
// later calls, from either thread, take no effect.
TEST(WindowThreadSinks, StoppingLetsAWaitingWorkerGoAndDropsEveryLaterCall) {
  HandDeliveredWakeUp wake_up;
  Recorder target;
  WindowThreadSinks sinks(wake_up, target);

  std::atomic<int> returned{0};
  std::thread worker([&] {
    sinks.SetProgressPosition(5);  // never carried out: nobody delivers the wake-up
    ++returned;
    sinks.SetProgressPosition(6);
    ++returned;
  });
  ASSERT_TRUE(Eventually([&] { return sinks.WaitingCalls() == 1; }));
  sinks.StopForwarding();
  ASSERT_TRUE(Eventually([&] { return returned == 2; }, 5s)) << "the worker still waits";
  worker.join();
  sinks.RunQueuedCalls();
  sinks.SetStatus("after");
  EXPECT_TRUE(target.calls.empty());
}

// A window that is gone takes no wake-up: the worker's call is dropped at once.
TEST(WindowThreadSinks, ACallWhoseWakeUpCannotBePostedReturnsAtOnce) {
  HandDeliveredWakeUp wake_up;
  wake_up.accept = false;
  Recorder target;
  WindowThreadSinks sinks(wake_up, target);
  std::thread worker([&] { sinks.EndProcess(); });
  worker.join();  // hangs if the call waits
  sinks.RunQueuedCalls();
  EXPECT_TRUE(target.calls.empty());
  EXPECT_EQ(sinks.WaitingCalls(), 0u);
}

// A port that opens on every platform and stays quiet: these upgrades end
// before anything is sent.
class QuietPort final : public SerialPort {
 public:
  bool SetBaudRate(std::uint32_t) override { return true; }
  bool Write(std::span<const std::uint8_t>) override { return true; }
  bool Drain() override { return true; }
  std::size_t ReadQueuedOrOne(std::span<std::uint8_t>) override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return interrupted_; });
    return 0;
  }
  void SetLowLatency() override {}
  bool Gone() const override { return false; }
  void Interrupt() override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
};

// A press made inside one of the last upgrade's calls, which its worker
// waits on, cannot wait for that worker: it is refused at once. A press
// while those calls wait for the window thread runs them, then starts.
TEST(WindowThreadSinks, APressInsideTheLastButtonCallsIsRefusedAtOnceAndOneBesideThemRunsThemFirst) {
  const std::wstring port = L"quiet";
  const auto missing = FirmwareName::FromText(L"/nonexistent/fw.bin");
  HandDeliveredWakeUp wake_up;
  Recorder target;
  WindowThreadSinks sinks(wake_up, target);
  UpgradeController controller(sinks);
  controller.Link().SetPortOpenerForTesting(
      [](std::string_view, PortOpenError*) -> std::unique_ptr<SerialPort> { return std::make_unique<QuietPort>(); });
  struct StopFirst {
    WindowThreadSinks& sinks;
    ~StopFirst() { sinks.StopForwarding(); }  // before the controller joins its worker
  } stop_first{sinks};
  const auto count = [&](const std::string& call) { return std::count(target.calls.begin(), target.calls.end(), call); };
  const std::string failed = "status Failure : couldn't open file";

  // The window's message loop runs the ending's caption, whose handler presses.
  std::optional<bool> inner;
  std::chrono::steady_clock::duration inner_took{};
  target.hook = [&](const std::string& call) {
    if (call != "caption Acquire" || inner) return;
    const auto begin = std::chrono::steady_clock::now();
    inner = controller.Start(port, L"0", missing);
    inner_took = std::chrono::steady_clock::now() - begin;
  };
  ASSERT_TRUE(controller.Start(port, L"0", missing));
  ASSERT_TRUE(Eventually([&] {
    sinks.RunQueuedCalls();
    return !controller.WorkerThreadAlive();
  }));
  EXPECT_EQ(inner, false);
  EXPECT_LT(inner_took, 500ms);

  // The operator's press while the ending's calls wait for the window
  // thread. A loaded machine may run a whole ending in one go: try again then.
  bool pressed_beside = false;
  for (int attempt = 0; attempt < 20 && !pressed_beside; ++attempt) {
    ASSERT_TRUE(Eventually([&] {
      sinks.RunQueuedCalls();
      return !controller.WorkerThreadAlive();
    }));
    const auto failures = count(failed);
    ASSERT_TRUE(controller.Start(port, L"0", missing));
    ASSERT_TRUE(Eventually([&] {
      sinks.RunQueuedCalls();
      return count(failed) > failures;
    }));
    // The worker's next call, its ending's caption, comes once it no longer runs.
    const int posted = wake_up.posted;
    ASSERT_TRUE(Eventually([&] { return wake_up.posted > posted || !controller.WorkerThreadAlive(); }));
    if (!controller.UpgradeInProgress()) continue;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(controller.Start(port, L"0", missing));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);
    pressed_beside = true;
  }
  EXPECT_TRUE(pressed_beside);
}

}  // namespace
}  // namespace zevuvuri::ui
