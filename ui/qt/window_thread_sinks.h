// Carries the upgrade's sink calls out on the window thread. A call made on
// the window thread runs at once; a call from the worker is posted to the
// window thread as an event and waits until it has run, so the calls take
// effect in order, also while a modal loop (About box, file dialog) runs.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/upgrade_sinks.h"

namespace zevuvuri::ui::qt {

// Thread contract: constructed, SetTarget and StopForwarding on the window
// thread; the sinks from any thread.
//
// Shutting down: UpgradeController::Shutdown joins the worker, and a worker
// waiting for the window thread would then never return. StopForwarding
// releases every waiting call and makes later ones return at once without
// effect; call it before Shutdown.
class WindowThreadSinks final : public QObject, public UpgradeSinks {
 public:
  WindowThreadSinks();
  ~WindowThreadSinks() override;

  void SetTarget(UpgradeSinks* target) { target_ = target; }
  void StopForwarding();

  // Worker calls now waiting for the window thread; tests use it to catch the
  // worker inside a call.
  std::size_t WaitingCalls() const;

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view text) override;
  void EnableButton(bool enabled) override;
  void SetProgressRange(std::uint16_t maximum) override;
  void SetProgressPosition(std::uint32_t position) override;
  void EndProcess() override;

 protected:
  bool event(QEvent* event) override;

 private:
  struct Call;
  class CallEvent;

  void Forward(std::function<void(UpgradeSinks&)> call);

  const std::thread::id window_thread_;
  UpgradeSinks* target_ = nullptr;  // window thread only

  mutable std::mutex mutex_;
  std::condition_variable done_cv_;
  bool stopped_ = false;       // under mutex_
  std::size_t waiting_ = 0;    // under mutex_
};

}  // namespace zevuvuri::ui::qt
