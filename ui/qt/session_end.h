// The desktop session's end as the Qt windows see it: SIGTERM and SIGHUP (a
// log-off, a shut-down, a service manager's stop, a closed terminal) come as
// the ending() signal on the window thread, where the window stops its
// upgrades as the close question's "Yes" and closes. The handler only writes
// a byte to a pipe, the one thing a signal handler may safely do; a
// QSocketNotifier on its other end brings it to the event loop.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace zevuvuri::ui::qt {

// One at a time per process: the latest installs the handlers, and its
// destruction puts back what was there before.
class SessionEnd final : public QObject {
  Q_OBJECT

 public:
  explicit SessionEnd(QObject* parent = nullptr);
  ~SessionEnd() override;
  SessionEnd(const SessionEnd&) = delete;
  SessionEnd& operator=(const SessionEnd&) = delete;

 signals:
  void ending();

 private:
  void Take();

  int pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

}  // namespace zevuvuri::ui::qt
