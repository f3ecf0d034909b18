#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>

#include "tools/cli/console.h"

namespace zevuvuri::cli {
namespace {

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signal) { g_signal.store(signal); }

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

void SetUpConsole() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

bool InterruptRequested() { return g_signal.load() != 0; }

bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

struct EnterKey::State {};

EnterKey::EnterKey() : state_(nullptr) {}
EnterKey::~EnterKey() = default;

bool EnterKey::Pressed(bool* open) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char buffer[256];
  const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
  if (n <= 0) {
    *open = false;
    return false;
  }
  return std::string(buffer, static_cast<std::size_t>(n)).find('\n') != std::string::npos;
}

}  // namespace zevuvuri::cli
