#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <string>
#include <thread>

#include "tools/cli/console.h"
#include "tools/cli/input_lines.h"

namespace zevuvuri::cli {
namespace {

std::atomic<int> g_signal{0};
// A pipe to itself: the signal handler and WakeMainLoop write a byte, the
// main loop polls the read end, so a signal ends its wait at once.
std::atomic<int> g_wake_read{-1};
std::atomic<int> g_wake_write{-1};

void WriteWakeByte() {
  const int fd = g_wake_write.load();
  if (fd < 0) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);  // a full pipe already holds a wake-up
}

extern "C" void OnSignal(int signal) {
  const int saved = errno;
  g_signal.store(signal);
  WriteWakeByte();
  errno = saved;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void SetUpConsole() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    g_wake_read.store(fds[0]);
    g_wake_write.store(fds[1]);
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // A hang-up (a dropped ssh session) ends the run as Ctrl-C does: the port
  // released, its exclusive flag cleared, the unit recorded.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a closed output pipe is an error to report, not the end
}

void ReleaseConsole() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // No handler writes any more: the pipe can go.
  for (std::atomic<int>* fd : {&g_wake_read, &g_wake_write}) {
    const int old = fd->exchange(-1);
    if (old >= 0) ::close(old);
  }
}

bool InterruptRequested() { return g_signal.load() != 0; }

void WakeMainLoop() { WriteWakeByte(); }

void WaitForWake(std::chrono::milliseconds limit) {
  if (InterruptRequested()) return;
  const int fd = g_wake_read.load();
  if (fd < 0) {
    std::this_thread::sleep_for(limit);
    return;
  }
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return;
  char drain[64];
  while (::read(fd, drain, sizeof drain) > 0) {
  }
}

bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

std::size_t ErrorColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

struct EnterKey::State {
  InputLines lines;
};

EnterKey::EnterKey() : state_(new State) {}
EnterKey::~EnterKey() { delete state_; }

std::vector<std::string> EnterKey::Lines(bool* open) {
  // Bounded: a writer that never stops must not hold the main loop.
  constexpr int kMostReads = 64;
  for (int i = 0; i < kMostReads; ++i) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      *open = false;
      break;
    }
    state_->lines.Add(buffer, static_cast<std::size_t>(n));
  }
  return state_->lines.Take();
}

}  // namespace zevuvuri::cli
