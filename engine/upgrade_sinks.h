// How an upgrade reports to its front end: the window's status line, Acquire
// button and progress bar, or the command line's output.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/upgrade_frame.h"

namespace zevuvuri {

// How an upgrade ended; the front end's exit codes map from it.
enum class UpgradeOutcome {
  Ok,
  PortFailure,
  ThreadFailure,
  FileFailure,
  FileTooLarge,
  SyncTimeout,
  PollRefused,
  FrameRefused,
  RebootRefused,
  PortLost,   // the device went away before the module answered
  Cancelled,  // the front end shut the controller down mid-way; reported by no sink
};

// Called from the window thread (Start, Confirm) and from the worker thread.
// A front end with a window carries each call out on its window thread, in
// order, and returns only when it has taken effect. The engine never calls a
// sink after UpgradeController::Shutdown has begun.
class UpgradeSinks {
 public:
  virtual ~UpgradeSinks() = default;

  virtual void SetStatus(std::string_view text) = 0;
  virtual void SetButtonCaption(std::string_view text) = 0;
  virtual void EnableButton(bool enabled) = 0;
  // Minimum 0, maximum a 16-bit value. Positions may pass the maximum on the
  // last frames: a progress bar shows those as full.
  virtual void SetProgressRange(std::uint16_t maximum) = 0;
  virtual void SetProgressPosition(std::uint32_t position) = 0;
  // Production mode, after a successful upgrade: end the process with status 0.
  virtual void EndProcess() = 0;

  // On the thread that calls Start, while the previous upgrade's worker makes
  // its last calls: a front end that carries calls over to its window thread
  // runs those waiting for it now. Nothing to do for one that does not.
  virtual void RunWaitingCalls() {}

  // For front ends that report more than the window shows; no-ops by default.
  virtual void LinkModeLearned(LinkMode) {}
  virtual void PollAcknowledged() {}  // each acknowledged poll frame, before the next
  virtual void DataProgress(std::uint64_t /*bytes_sent*/, std::uint64_t /*file_size*/) {}
  // The file's bytes that a data frame just carried to the module, in order:
  // together, exactly what the upgrade sent of the file.
  virtual void FirmwareSent(std::span<const std::uint8_t> /*bytes*/) {}
  virtual void UpgradeEnded(UpgradeOutcome) {}
};

}  // namespace zevuvuri
