#include "ui/qt/window_thread_sinks.h"

#include <QCoreApplication>
#include <QEvent>
#include <memory>
#include <string>
#include <utility>

namespace zevuvuri::ui::qt {
namespace {

const QEvent::Type kCallEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

struct WindowThreadSinks::Call {
  std::function<void(UpgradeSinks&)> run;
  bool done = false;  // under the sinks' mutex_
};

class WindowThreadSinks::CallEvent final : public QEvent {
 public:
  explicit CallEvent(std::shared_ptr<Call> call) : QEvent(kCallEventType), call_(std::move(call)) {}
  // The worker builds and posts the event with the sinks' mutex held, and the
  // window thread reads it only with that mutex held: Qt's own hand-over of
  // the event synchronises in ways that race checkers cannot see.
  const std::shared_ptr<Call>& GetCall() const { return call_; }

 private:
  std::shared_ptr<Call> call_;
};

WindowThreadSinks::WindowThreadSinks() : window_thread_(std::this_thread::get_id()) {}

WindowThreadSinks::~WindowThreadSinks() { StopForwarding(); }

void WindowThreadSinks::StopForwarding() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  done_cv_.notify_all();
}

std::size_t WindowThreadSinks::WaitingCalls() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

void WindowThreadSinks::Forward(std::function<void(UpgradeSinks&)> run) {
  if (std::this_thread::get_id() == window_thread_) {
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
  if (stopped_) return;
  ++waiting_;
  // Posted with the lock held, so that once StopForwarding has returned no
  // post to this object is under way and it may be destroyed.
  QCoreApplication::postEvent(this, new CallEvent(call));
  done_cv_.wait(lock, [&] { return call->done || stopped_; });
  --waiting_;
}

bool WindowThreadSinks::event(QEvent* event) {
  std::shared_ptr<Call> call;
  bool stopped = false;
  {
    // Locked before the event is read at all: see CallEvent.
    std::lock_guard lock(mutex_);
    if (event->type() == kCallEventType) {
      call = static_cast<CallEvent*>(event)->GetCall();
      stopped = stopped_;
    }
  }
  if (!call) return QObject::event(event);
  if (stopped) return true;
  // Run without the lock: a sink may take as long as drawing takes.
  if (target_ != nullptr) call->run(*target_);
  {
    std::lock_guard lock(mutex_);
    call->done = true;
  }
  done_cv_.notify_all();
  return true;
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

}  // namespace zevuvuri::ui::qt
