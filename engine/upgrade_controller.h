// One firmware upgrade, from the operator's first press of Acquire to the
// module's reboot acknowledgement. The window thread calls Start and Confirm
// (or OnAcquire, the button, which picks one); a worker thread per upgrade
// does the rest and reports through the front end's sinks.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/firmware_file.h"
#include "engine/firmware_name.h"
#include "engine/serial_link.h"
#include "engine/upgrade_frame.h"
#include "engine/upgrade_sinks.h"

namespace zevuvuri {

// What the Acquire button does next: Idle starts, Acquiring confirms. It says
// nothing about whether an upgrade runs: the data phase is Idle too, as
// operators know it. Whether one runs is UpgradeInProgress.
enum class UpgradeState : std::uint8_t { Idle = 0, Acquiring = 1 };

// The sequence's pauses and reply limits, the same in every Pacing. The
// operators' modules are tuned to them: keep them.
namespace sequence_timing {
constexpr auto kAfterWakeUp = std::chrono::milliseconds{20};
constexpr auto kProbeInterval = std::chrono::milliseconds{100};
constexpr auto kSerialStartPause = std::chrono::milliseconds{2000};  // after the first poll acknowledgement
constexpr auto kFrameReplyLimit = std::chrono::milliseconds{2000};   // poll and data frames
constexpr auto kRebootReplyLimit = std::chrono::milliseconds{1000};  // end header and fillers
constexpr auto kAfterTrailer = std::chrono::milliseconds{500};       // over the air, after the "p" trailer
}  // namespace sequence_timing

// Thread contract: OnAcquire, Start, Confirm, the setters and Stop on the
// front end's (window) thread; Confirm also from within the PollAcknowledged
// sink; the getters from any thread. One upgrade runs at a time: a Start
// while an upgrade is in progress (see UpgradeInProgress) is ignored, so no press can open a
// second link or touch the port of the running one.
class UpgradeController {
 public:
  // Starts a thread running `body`; throws std::system_error when it cannot.
  using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

  explicit UpgradeController(UpgradeSinks& sinks);
  ~UpgradeController();  // Stop()
  UpgradeController(const UpgradeController&) = delete;
  UpgradeController& operator=(const UpgradeController&) = delete;

  // The Acquire button: Confirm while Acquiring, otherwise Start. The texts
  // are those of the COM port, Type and file name fields; a front end that
  // has the file's exact name passes it instead of the field's text.
  void OnAcquire(std::wstring_view port_text, std::wstring_view type_text, std::wstring_view file_text);
  void OnAcquire(std::wstring_view port_text, std::wstring_view type_text, std::optional<FirmwareName> firmware);

  // Begins an upgrade: opens the link and starts the worker. Ignored (false,
  // no sink called, nothing on any line) while an upgrade is in progress, after
  // Stop, and at once when made inside a sink call (see SinkCallScope).
  // An upgrade that is only making its last calls to the button is waited
  // for first, up to 2 s. A firmware name of nothing is one that could not be
  // carried exactly: the worker reports "couldn't open file".
  bool Start(std::wstring_view port_text, std::wstring_view type_text, std::optional<FirmwareName> firmware);
  // The same with the port text's 8-bit form, as a command line receives it:
  // on POSIX a device path is bytes and is opened exactly as given. Nothing
  // is a port text that could not be carried exactly: no port opens.
  bool Start(std::optional<std::string> port_bytes, std::wstring_view type_text,
             std::optional<FirmwareName> firmware);
  // Lets an upgrade that waits for the operator go on to its data phase.
  // Only from Acquiring; false (and nothing changes) otherwise.
  bool Confirm();

  // Production mode: a successful upgrade ends with the EndProcess sink.
  void SetProductionFlag(bool on) { production_.store(on); }
  // Classic by default; takes effect at the next Start. Ignored while an
  // upgrade runs: its link keeps the pacing it opened with.
  void SetPacing(Pacing pacing) {
    if (!UpgradeInProgress()) link_.SetPacing(pacing);
  }
  Pacing GetPacing() const { return link_.GetPacing(); }
  // Synchronisation probes forever by default, as the window does; a command
  // line may bound it. The limit is counted in probe intervals; a change
  // while an upgrade synchronises applies from its next probe.
  void SetSyncLimit(std::optional<std::chrono::milliseconds> limit) {
    sync_limit_ms_.store(limit ? limit->count() : kNoSyncLimit);
  }
  // The SHA-256 (64 hex digits) the firmware image must have; nothing: any.
  // An image with another one ends the upgrade with "couldn't open file"
  // right after it is taken, before the wake-up. Takes effect at the next
  // Start; refused (false) while an upgrade is in progress.
  bool SetExpectedSha256(std::optional<std::string> sha256);

  // Ends a running upgrade without starting any further sink call (the front
  // end is going away; a call already under way runs to its end first):
  // wakes every wait, releases the port, joins the worker.
  // Final: the controller starts no upgrade afterwards.
  void Stop();

  UpgradeState State() const { return state_.load(); }
  // True from a Start that opened the link until the worker has released the
  // port and made its last call to the button.
  bool UpgradeInProgress() const { return worker_phase_.load() != WorkerPhase::Free; }
  // The upgrade has ended and its worker is making its last calls to the
  // button: a new Start now waits for them rather than being ignored.
  bool ReturningButton() const { return worker_phase_.load() == WorkerPhase::ReturningButton; }
  // True while a worker thread has not yet returned, its last calls after the
  // end of the upgrade (UpgradeEnded, EndProcess) included.
  bool WorkerThreadAlive() const { return live_worker_threads_.load() != 0; }
  LinkMode Mode() const { return link_mode_.load(); }
  std::uint8_t TypeCode() const { return type_code_.load(); }
  // How the last upgrade ended. Ok also when Stop came after "Upgrade OK"
  // over the air, once the trailer had gone out: the module has its firmware.
  UpgradeOutcome LastOutcome() const { return outcome_.load(); }
  SerialLink& Link() { return link_; }

  void SetThreadStarterForTesting(ThreadStarter starter) { start_thread_ = std::move(starter); }
  // Pauses from `clock` instead of real time, for the link's waits too.
  void SetClockForTesting(PacingClock* clock) { link_.SetClockForTesting(clock); }

 private:
  struct Cancelled {};  // thrown inside the worker when Stop interrupts it
  struct Ending {       // thrown inside the worker to end the upgrade with a failure
    std::string_view status;
    UpgradeOutcome outcome;
  };

  void Work();
  // The worker's steps, in order; each throws Ending or Cancelled to stop.
  void OpenFirmware();
  void WakeUp();
  void Synchronise();
  void AwaitStart();
  std::uint32_t StreamData();
  void EndAndReboot(std::uint32_t end_offset);
  void Succeed();
  void EndWith(const Ending& ending);
  void CommonEnding();
  void ReleaseLinkAndImage();

  // The link's operations as the steps use them: each stops the upgrade when
  // Stop has begun or the device has gone away.
  void Pause(std::chrono::milliseconds duration);
  void Write(std::span<const std::uint8_t> bytes);
  std::optional<std::uint8_t> WaitReply(std::chrono::milliseconds limit);
  void CheckLink() const;
  void ReapWorkers();
  bool AwaitPreviousEnding();

  // Sink calls, skipped once Stop has begun, each inside a SinkCallScope.
  bool Reporting() const { return !shutting_down_.load(); }
  template <typename Call>
  void Report(Call call) {
    if (!Reporting()) return;
    SinkCallScope scope;
    call(sinks_);
  }
  void Status(std::string_view text);
  void Caption(std::string_view text);
  void Enable(bool enabled);

  UpgradeSinks& sinks_;
  std::atomic<UpgradeState> state_{UpgradeState::Idle};
  // Where the upgrade's worker is, as Start needs to know it. Free: no
  // upgrade holds the link or the button (a worker may still make its calls
  // after the ending). OwnsLink: the worker owns the link and the button; a
  // Start is ignored. ReturningButton: the link is released and the worker
  // makes its last calls to the button; a Start waits for them, so that its
  // own calls come after.
  enum class WorkerPhase : std::uint8_t { Free, OwnsLink, ReturningButton };
  std::atomic<WorkerPhase> worker_phase_{WorkerPhase::Free};
  std::atomic<LinkMode> link_mode_{LinkMode::Serial};
  std::atomic<std::uint8_t> type_code_{0};
  std::atomic<bool> production_{false};
  std::atomic<UpgradeOutcome> outcome_{UpgradeOutcome::Ok};
  static constexpr std::int64_t kNoSyncLimit = -1;
  std::atomic<std::int64_t> sync_limit_ms_{kNoSyncLimit};
  SerialLink link_;
  // Written only while no upgrade is in progress; read by the worker.
  std::optional<std::string> expected_sha256_;

  // Written by Start before the worker exists, then the worker's alone.
  std::optional<FirmwareName> firmware_name_;
  // The whole file, read once before the wake-up; the frames stream from it.
  std::vector<std::uint8_t> image_;
  UpgradeFrame frame_;
  // The failure that a device gone away means in the current step.
  Ending device_lost_{};
  bool trailer_sent_ = false;

  // A worker that has finished with the link and the button may still be
  // making its last calls (the end of the upgrade, production's end of the
  // process) when the next Start comes; it is joined once it has returned, so
  // Start never waits on a worker that waits on the window thread.
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> returned;
  };
  ThreadStarter start_thread_;
  Worker worker_;
  std::vector<Worker> finished_workers_;
  std::atomic<bool> shutting_down_{false};
  std::atomic<int> live_worker_threads_{0};

  // Start's own sink calls come before the worker's first ones.
  std::mutex mutex_;
  std::condition_variable start_cv_;
  bool start_reported_ = false;  // under mutex_
};

}  // namespace zevuvuri
