// zevuvuri-cli: one upgrade from the command line, for scripts and factory
// test stations. It drives the same controller as the window and prints what
// the window's status line would show.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/status_texts.h"
#include "engine/text_encoding.h"
#include "engine/upgrade_controller.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "tools/cli/console_reporter.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/link_trace.h"
#include "tools/cli/port_diagnosis.h"

namespace {

using namespace zevuvuri;
using namespace zevuvuri::cli;

int Run(const CliOptions& options) {
  if (options.list_ports) {
    for (const auto& line : ListPorts()) std::printf("%s\n", line.c_str());
    return 0;
  }

  ConsoleReporter reporter(stdout, stderr, options.json, ErrorIsTerminal());
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

  EnterKey enter;
  bool stdin_open = true;
  bool prompted = false;
  bool stdin_end_noted = false;
  std::optional<UpgradeOutcome> outcome;
  while (!(outcome = reporter.WaitForEnd(std::chrono::milliseconds{20}))) {
    if (InterruptRequested()) {
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
    if (stdin_open && enter.Pressed(&stdin_open)) controller.OnAcquire(port, type, file);
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
  const std::vector<std::string> args = Utf8Arguments(argc, argv);
  std::vector<const char*> arg_pointers;
  for (const auto& a : args) arg_pointers.push_back(a.c_str());
  const ParseResult parsed = ParseCommandLine(static_cast<int>(arg_pointers.size()), arg_pointers.data());
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.message_is_error ? stderr : stdout);
    return parsed.exit_code;
  }
  SetUpConsole();
  return Run(*parsed.options);
}
