#include "ui/qt/session_end.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace zevuvuri::ui::qt {
namespace {

// The write end of the live SessionEnd's pipe, for the handler.
std::atomic<int> g_write_end{-1};

extern "C" void OnSessionEndSignal(int) {
  const int fd = g_write_end.load();
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(fd, &byte, 1);
  }
}

constexpr int kSignals[] = {SIGTERM, SIGHUP};

}  // namespace

struct SessionEnd::Saved {
  struct sigaction before[std::size(kSignals)] = {};
  int write_end_before = -1;
};

SessionEnd::SessionEnd(QObject* parent) : QObject(parent), saved_(std::make_unique<Saved>()) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    pipe_[0] = pipe_[1] = -1;
    return;  // without a pipe the signals keep their default: the process ends
  }
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Take(); });
  saved_->write_end_before = g_write_end.exchange(pipe_[1]);
  struct sigaction action {};
  action.sa_handler = OnSessionEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &saved_->before[i]);
}

SessionEnd::~SessionEnd() {
  if (pipe_[0] < 0) return;
  for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &saved_->before[i], nullptr);
  g_write_end.store(saved_->write_end_before);
  notifier_.reset();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

// Every byte waiting is taken; two signals close the window once.
void SessionEnd::Take() {
  char bytes[16];
  bool any = false;
  while (::read(pipe_[0], bytes, sizeof bytes) > 0) any = true;
  if (any) emit ending();
}

}  // namespace zevuvuri::ui::qt
