// Carries the upgrade's sink calls out on the window thread as window
// messages. A call made on the window thread runs at once; a call from the
// worker is queued, announced to the dialog with a posted message, and waits
// until the window thread has run it. Every message loop of that thread
// dispatches it (the dialog's own, the About box's, the file dialog's, a menu's),
// so the calls take effect in order, also during modal loops.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/upgrade_sinks.h"

namespace zevuvuri::ui::win32 {

// The message that tells the dialog to run the queued calls.
constexpr UINT kRunSinkCalls = WM_APP + 1;

// Thread contract: constructed, SetWindow, SetTarget, RunQueuedCalls and
// StopForwarding on the window thread; the sinks from any thread.
//
// Closing: UpgradeController::Shutdown joins the worker, and a worker waiting
// for a window thread that is itself waiting in that join would wait forever.
// StopForwarding releases every waiting call and makes later ones return at
// once without effect; call it before Shutdown.
class WindowThreadSinks final : public UpgradeSinks {
 public:
  WindowThreadSinks();
  ~WindowThreadSinks() override;

  void SetWindow(HWND window);
  void SetTarget(UpgradeSinks* target) { target_ = target; }
  void RunQueuedCalls();  // on kRunSinkCalls
  void StopForwarding();

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view text) override;
  void EnableButton(bool enabled) override;
  void SetProgressRange(std::uint16_t maximum) override;
  void SetProgressPosition(std::uint32_t position) override;
  void EndProcess() override;

 private:
  struct Call {
    std::function<void(UpgradeSinks&)> run;
    bool done = false;  // under mutex_
  };

  void Forward(std::function<void(UpgradeSinks&)> run);

  const DWORD window_thread_;
  UpgradeSinks* target_ = nullptr;  // window thread only

  std::mutex mutex_;
  std::condition_variable done_cv_;
  HWND window_ = nullptr;                    // under mutex_
  std::deque<std::shared_ptr<Call>> queue_;  // under mutex_
  bool stopped_ = false;                     // under mutex_
};

}  // namespace zevuvuri::ui::win32
