// The desktop's requests to end the program, on the window thread: SIGTERM
// (a log-off, systemd, kill), SIGHUP (the terminal or the ssh session that
// started it went), SIGINT (Ctrl-C in that terminal) and the session
// manager's request to save before it quits. A window that holds work (units
// being upgraded) stops it and ends as the command line ends on a signal,
// instead of being killed with nothing recorded.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace zevuvuri::ui::qt {

// Thread contract: made, used and destroyed on the window thread. The signal
// handler only writes a byte to a socket, which a notifier reads on the
// window thread; no other work happens in the handler.
//
// Several may live at once (a window opened over another): the last made
// gets the requests, and one it took is handed on, when it goes, to the one
// made before it, so that the window below ends too.
class SessionEnd final : public QObject {
  Q_OBJECT

 public:
  explicit SessionEnd(QObject* parent = nullptr);
  // Gives the handlers back to the SessionEnd made before it, or to the
  // ones the program had (the default: ending at once) when none.
  ~SessionEnd() override;
  SessionEnd(const SessionEnd&) = delete;
  SessionEnd& operator=(const SessionEnd&) = delete;

  // A request came (at most one EndRequested for all of them).
  bool Requested() const { return requested_; }

 signals:
  void EndRequested();

 private:
  void Take();

  int sockets_[2] = {-1, -1};  // the handler writes to [1], the notifier reads [0]
  int previous_write_ = -1;    // the SessionEnd made before this one
  QSocketNotifier* notifier_ = nullptr;
  bool requested_ = false;
};

}  // namespace zevuvuri::ui::qt
