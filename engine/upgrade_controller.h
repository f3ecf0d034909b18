// One firmware upgrade, from the operator's first press of Acquire to the
// module's reboot acknowledgement. The window thread calls OnAcquire (Start or
// Confirm); a worker thread per upgrade does the rest and reports through the
// front end's sinks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/serial_link.h"
#include "engine/upgrade_frame.h"
#include "engine/upgrade_sinks.h"

namespace zevuvuri {

enum class UpgradeState : std::uint8_t { Idle = 0, Acquiring = 1 };

// Pacing of the sequence. The operators' modules are tuned to it: keep it.
namespace pacing {
constexpr auto kAfterWakeUp = std::chrono::milliseconds{20};
constexpr auto kProbeInterval = std::chrono::milliseconds{100};
constexpr auto kSerialStartPause = std::chrono::milliseconds{2000};  // after the first poll acknowledgement
constexpr auto kFrameReplyLimit = std::chrono::milliseconds{2000};   // poll and data frames
constexpr auto kRebootReplyLimit = std::chrono::milliseconds{1000};  // end header and fillers
constexpr auto kAfterTrailer = std::chrono::milliseconds{500};       // over the air, after the "p" trailer
}  // namespace pacing

// Thread contract: OnAcquire, SetProductionFlag, SetSyncLimit and Shutdown on
// the front end's (window) thread; the getters from any thread. One upgrade
// runs at a time; the next Start begins from a closed link.
class UpgradeController {
 public:
  // Starts a thread running `body`; throws std::system_error when it cannot.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  explicit UpgradeController(UpgradeSinks& sinks);
  ~UpgradeController();  // Shutdown()
  UpgradeController(const UpgradeController&) = delete;
  UpgradeController& operator=(const UpgradeController&) = delete;

  // The Acquire button: Start while Idle, Confirm while Acquiring. The texts
  // are those of the COM port, Type and file name fields.
  void OnAcquire(std::wstring_view port_text, std::wstring_view type_text, std::wstring_view file_text);

  // Production mode: a successful upgrade ends with the EndProcess sink.
  void SetProductionFlag(bool on) { production_.store(on); }
  // Synchronisation probes forever by default, as the window does; a command
  // line may bound it. The limit is counted in probe intervals.
  void SetSyncLimit(std::optional<std::chrono::milliseconds> limit) { sync_limit_ = limit; }

  // Ends a running upgrade without calling any sink (the front end is going
  // away): wakes every wait, releases the port and the file, joins the worker.
  // Final: the controller starts no upgrade afterwards.
  void Shutdown();

  UpgradeState State() const { return state_.load(); }
  LinkMode Mode() const { return link_mode_.load(); }
  std::uint8_t TypeCode() const { return type_code_.load(); }
  UpgradeOutcome LastOutcome() const { return outcome_.load(); }
  bool WorkerRunning() const { return worker_running_.load(); }
  SerialLink& Link() { return link_; }

  void SetThreadStarterForTesting(ThreadStarter starter) { start_thread_ = std::move(starter); }
  // Pauses from `clock` instead of real time, for the link's waits too.
  void SetClockForTesting(PacingClock* clock) {
    clock_ = clock;
    link_.SetClockForTesting(clock);
  }

 private:
  struct Cancelled {};  // thrown inside the worker when Shutdown interrupts a wait

  void Start(std::wstring_view port_text, std::wstring_view type_text, std::wstring_view file_text);
  void Confirm();
  void Work();
  void RunSteps(std::FILE** file);
  void EndWith(std::string_view status, UpgradeOutcome outcome, std::FILE* file);
  void Pause(std::chrono::milliseconds duration);  // throws Cancelled
  void Write(std::span<const std::uint8_t> bytes);   // throws Cancelled
  std::optional<std::uint8_t> WaitReply(std::chrono::milliseconds limit);  // throws Cancelled
  void CheckCancelled() const;
  void ReapWorkers();
  void CommonEnding(std::FILE* file);

  // Sink calls, skipped once Shutdown has begun.
  void Status(std::string_view text);
  void Caption(std::string_view text);
  void Enable(bool enabled);

  UpgradeSinks& sinks_;
  std::atomic<UpgradeState> state_{UpgradeState::Idle};
  std::atomic<LinkMode> link_mode_{LinkMode::Serial};
  std::atomic<std::uint8_t> type_code_{0};
  std::atomic<bool> production_{false};
  std::atomic<UpgradeOutcome> outcome_{UpgradeOutcome::Ok};
  std::optional<std::chrono::milliseconds> sync_limit_;
  SerialLink link_;

  // Written by Start before the worker exists, read by the worker only.
  std::wstring firmware_path_;
  std::optional<std::string> firmware_path_8bit_;

  // A worker that has set Idle may still be making its last sink calls when
  // the next Start comes; it is joined once its flag says it has returned, so
  // Start never waits on a worker that waits on the window thread.
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> returned;
  };
  ThreadStarter start_thread_;
  PacingClock* clock_ = nullptr;  // nothing: real time
  Worker worker_;
  std::vector<Worker> finished_workers_;
  std::atomic<bool> worker_running_{false};
  std::atomic<bool> shutting_down_{false};
  bool trailer_sent_ = false;  // worker only: the over-the-air trailer has gone out

  // Start's own sink calls come before the worker's first ones; pauses wake
  // early on Shutdown.
  std::mutex mutex_;
  std::condition_variable wake_cv_;
  bool start_reported_ = false;  // under mutex_
};

}  // namespace zevuvuri
