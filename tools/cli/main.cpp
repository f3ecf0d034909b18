// zevuvuri-cli: one upgrade from the command line, for scripts and factory
// test stations. It drives the same controller as the window and prints what
// the window's status line would show.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "engine/status_texts.h"
#include "engine/text_encoding.h"
#include "engine/upgrade_controller.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console_reporter.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/link_trace.h"
#include "tools/cli/port_diagnosis.h"

namespace {

using namespace zevuvuri;
using namespace zevuvuri::cli;

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signal) { g_signal.store(signal); }  // the main loop acts on it

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// Enter on standard input is the press of "Click to Start". Returns true once
// a whole line has arrived; `open` turns false at end of input.
bool EnterPressed(bool* open) {
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

int Run(const CliOptions& options) {
  if (options.list_ports) {
    for (const auto& line : ListPorts()) std::printf("%s\n", line.c_str());
    return 0;
  }

  ConsoleReporter reporter(stdout, stderr, options.json, ::isatty(STDERR_FILENO) != 0);
  UpgradeController controller(reporter);
  LinkTrace trace(stderr);
  if (options.trace) controller.Link().SetObserver(&trace);
  if (options.sync_timeout_seconds) {
    controller.SetSyncLimit(std::chrono::milliseconds(static_cast<long long>(*options.sync_timeout_seconds * 1000)));
  }

  const std::wstring port = FromUtf8(options.port);
  const std::wstring type = FromUtf8(options.type);
  const std::wstring file = FromUtf8(options.firmware);
  const auto started = std::chrono::steady_clock::now();
  controller.OnAcquire(port, type, file);

  bool stdin_open = true;
  bool prompted = false;
  bool stdin_end_noted = false;
  std::optional<UpgradeOutcome> outcome;
  while (!(outcome = reporter.WaitForEnd(std::chrono::milliseconds{20}))) {
    if (g_signal.load() != 0) {
      controller.Shutdown();  // closes the port; nothing more goes to the module
      reporter.Note("interrupted: port closed");
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      reporter.Result(UpgradeOutcome::Cancelled, static_cast<int>(ExitCode::Interrupted), seconds);
      return static_cast<int>(ExitCode::Interrupted);
    }
    // Over the air the button is enabled after synchronisation: the operator
    // confirms with Enter, or --yes once the module has answered a poll.
    const bool awaiting_confirm = controller.State() == UpgradeState::Acquiring &&
                                  controller.Mode() == LinkMode::OverTheAir && reporter.ButtonEnabled();
    if (!awaiting_confirm) continue;
    if (options.yes) {
      if (reporter.PollsAcknowledged() > 0) controller.OnAcquire(port, type, file);
      continue;
    }
    if (!prompted) {
      prompted = true;
      reporter.Note("over the air: press Enter to start the upgrade (or run with --yes)");
    }
    if (stdin_open && EnterPressed(&stdin_open)) controller.OnAcquire(port, type, file);
    if (!stdin_open && !stdin_end_noted) {
      stdin_end_noted = true;  // then go on polling, as the window would
      reporter.Note("standard input is closed: the module keeps being polled until Ctrl-C (use --yes)");
    }
  }

  if (*outcome == UpgradeOutcome::PortFailure) {
    reporter.Note(ExplainOpenFailure(options.port, controller.Link().LastOpenError()));
  }
  const int code = static_cast<int>(ExitCodeFor(*outcome));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  reporter.Result(*outcome, code, seconds);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = ParseCommandLine(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.message_is_error ? stderr : stdout);
    return parsed.exit_code;
  }
  InstallSignalHandlers();
  return Run(*parsed.options);
}
