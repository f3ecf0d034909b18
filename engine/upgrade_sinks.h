// How an upgrade reports to its front end: the window's status line, Acquire
// button and progress bar, or the command line's output.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
// order, and returns only when it has taken effect. Once
// UpgradeController::Stop has begun the engine decides on no new sink
// call; a call it was already making may still be made and run to its end,
// and Stop returns only after it has (it joins the worker). A front end
// that carries calls over to its window thread lets such a call go first
// (see ui/window_thread_sinks.h).
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

  // On the thread that calls Start, while Start waits for the previous
  // upgrade's worker to make its last calls: a front end that carries calls
  // over to its window thread runs those the worker waits on now, so that it
  // can finish. Nothing to do for one that does not.
  virtual void UnblockPreviousWorker() {}

  // For front ends that report more than the window shows; no-ops by default.
  virtual void LinkModeLearned(LinkMode) {}
  // Each acknowledged poll frame, before the next. A Confirm made from
  // within it takes effect before the next poll frame: none is sent.
  virtual void PollAcknowledged() {}
  // The firmware image the upgrade took: the whole file, read once when the
  // upgrade opened it and before anything was sent to the module; every data
  // frame carries its bytes, whatever happens to the file afterwards.
  // `sha256`: 64 lowercase hex digits, nothing when the platform's library
  // failed.
  virtual void FirmwareImageTaken(std::uint64_t /*size*/, const std::optional<std::string>& /*sha256*/) {}
  virtual void DataProgress(std::uint64_t /*bytes_sent*/, std::uint64_t /*file_size*/) {}
  // The image's bytes that a data frame just carried to the module, in
  // order: together, exactly what the upgrade sent of the image.
  virtual void FirmwareSent(std::span<const std::uint8_t> /*bytes*/) {}
  virtual void UpgradeEnded(UpgradeOutcome) {}
};

// Marks the thread it lives on as running a sink call. The controller marks
// the calls it makes; a front end that carries calls over to another thread
// marks them where it runs them. UpgradeController::Start refuses at once
// when made inside one: the worker that made the call cannot end while the
// call waits for it.
class SinkCallScope {
 public:
  SinkCallScope();
  ~SinkCallScope();
  SinkCallScope(const SinkCallScope&) = delete;
  SinkCallScope& operator=(const SinkCallScope&) = delete;

  static bool Active();  // on the calling thread
};

}  // namespace zevuvuri
