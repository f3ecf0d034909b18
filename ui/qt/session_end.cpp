#include "ui/qt/session_end.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <iterator>

namespace zevuvuri::ui::qt {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Where the handler writes: the newest SessionEnd's socket.
std::atomic<int> g_write{-1};
// The program's own handlers, given back when the first SessionEnd goes.
struct sigaction g_original[std::size(kSignals)];
int g_alive = 0;

// Async-signal-safe: one write, errno kept.
void OnSignal(int) {
  const int saved = errno;
  const int fd = g_write.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

SessionEnd::SessionEnd(QObject* parent) : QObject(parent) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets_) != 0) return;
  // A full socket (signals faster than the window reads) drops the byte
  // rather than blocking the handler: one byte already says it all.
  ::fcntl(sockets_[1], F_SETFL, ::fcntl(sockets_[1], F_GETFL) | O_NONBLOCK);
  notifier_ = new QSocketNotifier(sockets_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    [[maybe_unused]] const ssize_t read = ::read(sockets_[0], bytes, sizeof bytes);
    Take();
  });
  previous_write_ = g_write.exchange(sockets_[1]);
  if (g_alive++ == 0) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &g_original[i]);
  }
  // The session manager asks to save before it ends the session; there is
  // nothing to save but the units, so it is an end like the others.
  if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(application, &QGuiApplication::commitDataRequest, this, [this] { Take(); });
  }
  connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, [this] { Take(); });
}

SessionEnd::~SessionEnd() {
  if (sockets_[0] < 0) return;
  g_write.store(previous_write_);
  if (--g_alive == 0) {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &g_original[i], nullptr);
  }
  // The window below ends too: the request was for the whole program.
  if (requested_ && previous_write_ >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(previous_write_, &byte, 1);
  }
  delete notifier_;
  ::close(sockets_[0]);
  ::close(sockets_[1]);
}

void SessionEnd::Take() {
  if (requested_) return;
  requested_ = true;
  emit EndRequested();
}

}  // namespace zevuvuri::ui::qt
