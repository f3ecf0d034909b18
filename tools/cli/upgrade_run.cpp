#include "tools/cli/upgrade_run.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/text_encoding.h"
#include "engine/upgrade_controller.h"
#include "tools/cli/console.h"
#include "tools/cli/console_reporter.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/json_line.h"
#include "tools/cli/link_trace.h"
#include "tools/cli/output_check.h"
#include "engine/port_diagnosis.h"
#include "tools/cli/progress_board.h"
#include "tools/cli/report_file.h"
#include "tools/cli/unit_record.h"

namespace zevuvuri::cli {
namespace {

constexpr auto kLoopStep = std::chrono::milliseconds{20};

// One port's upgrade. The controller is declared last so that it is shut
// down (its worker joined) before the sinks and the trace it uses go.
struct PortSession {
  std::string port;
  std::string device;  // resolved when the upgrade starts: a vanished link names nothing later
  std::optional<UsbAdapter> usb;
  std::unique_ptr<ConsoleReporter> reporter;
  std::unique_ptr<LinkTrace> trace;
  std::unique_ptr<UpgradeController> controller;
  std::chrono::system_clock::time_point started_wall;
  std::chrono::steady_clock::time_point started;
  std::optional<UpgradeOutcome> outcome;
  int exit_code = 0;
  double seconds = 0;
  bool prompted = false;
};

class Run {
 public:
  explicit Run(const CliOptions& options) : options_(options) {}
  int Go();

 private:
  void StartAll();
  void ShutDownAll();
  void Finish(PortSession& s, UpgradeOutcome outcome);
  void Confirmations();
  void Summary(int exit_code);
  void WriteRecord(const PortSession& s);

  const CliOptions& options_;
  std::unique_ptr<ProgressBoard> board_;
  std::vector<std::unique_ptr<PortSession>> sessions_;
  std::unique_ptr<ReportFile> report_;  // with --report
  std::string host_;
  std::string firmware_path_;  // absolute, for the record
  bool report_failed_ = false;
  EnterKey enter_;
  bool stdin_open_ = true;
  bool stdin_end_noted_ = false;
};

void Run::StartAll() {
  const bool several = options_.ports.size() > 1;
  const bool terminal = ErrorIsTerminal();
  if (several && terminal && !options_.json) board_ = std::make_unique<ProgressBoard>(stderr, options_.ports);
  for (std::size_t i = 0; i < options_.ports.size(); ++i) {
    auto s = std::make_unique<PortSession>();
    s->port = options_.ports[i];
    ReporterPlace place{s->port, several && board_ == nullptr, board_.get(), i};
    s->reporter = std::make_unique<ConsoleReporter>(stdout, stderr, options_.json, terminal, place);
    s->trace = std::make_unique<LinkTrace>(stderr, several ? s->port : "");
    s->controller = std::make_unique<UpgradeController>(*s->reporter);
    s->controller->SetPacing(options_.pacing);
    if (options_.trace) s->controller->Link().SetObserver(s->trace.get());
    if (options_.sync_timeout_seconds) {
      s->controller->SetSyncLimit(
          std::chrono::milliseconds(static_cast<long long>(*options_.sync_timeout_seconds * 1000)));
    }
    sessions_.push_back(std::move(s));
  }
  for (auto& s : sessions_) {
    if (options_.report) {
      s->device = DeviceForPort(s->port);
      if (!s->device.empty()) s->usb = DescribeDevice(s->device).usb;
    }
    s->started_wall = std::chrono::system_clock::now();
    s->started = std::chrono::steady_clock::now();
    // The file name's bytes as given: a name that is no UTF-8 opens as it is.
    s->controller->Start(FromUtf8(s->port), FromUtf8(options_.type), FirmwareName::FromBytes(options_.firmware));
  }
}

// Every port stops at once: each Shutdown waits for its own worker, and
// meanwhile the other ports must not go on sending, so they run side by side.
void Run::ShutDownAll() {
  std::vector<std::thread> stopping;
  for (auto& s : sessions_) {
    if (s->outcome) continue;
    UpgradeController* controller = s->controller.get();
    try {
      stopping.emplace_back([controller] { controller->Shutdown(); });
    } catch (const std::system_error&) {
      controller->Shutdown();
    }
  }
  for (auto& t : stopping) t.join();
  for (auto& s : sessions_) {
    if (s->outcome) continue;
    // An upgrade may have ended by itself meanwhile, and over the air one
    // whose trailer had gone out has succeeded: that ending stands.
    std::optional<UpgradeOutcome> outcome = s->reporter->Ended();
    if (!outcome) {
      outcome = s->controller->LastOutcome() == UpgradeOutcome::Ok ? UpgradeOutcome::Ok : UpgradeOutcome::Cancelled;
    }
    if (*outcome == UpgradeOutcome::Cancelled) s->reporter->Note("interrupted: port closed");
    Finish(*s, *outcome);
  }
}

void Run::Finish(PortSession& s, UpgradeOutcome outcome) {
  s.outcome = outcome;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
  s.exit_code = static_cast<int>(ExitCodeFor(outcome));
  if (outcome == UpgradeOutcome::PortFailure) {
    s.reporter->Note(ExplainOpenFailure(s.port, s.controller->Link().LastOpenError()));
  }
  s.reporter->Result(outcome, s.exit_code, s.seconds, options_.pacing);
  if (report_) WriteRecord(s);
}

void Run::WriteRecord(const PortSession& s) {
  UnitRecord r;
  r.started = s.started_wall;
  r.host = host_;
  r.port = s.port;
  r.device = s.device;
  r.usb = s.usb;
  r.firmware = firmware_path_;
  // What the module received of the file, which on "Upgrade OK" is the whole
  // file as it was read: never a hash of some other state of it.
  if (s.outcome == UpgradeOutcome::Ok || s.reporter->FirmwareBytesSent() > 0) {
    r.firmware_size = s.reporter->FirmwareBytesSent();
    r.firmware_sha256 = s.reporter->FirmwareSentSha256();
  }
  r.type_code = s.controller->TypeCode();
  r.link_mode = s.reporter->LearnedMode();
  r.pacing = options_.pacing;
  r.data_frames_sent = s.reporter->DataFramesSent();
  r.result = s.outcome == UpgradeOutcome::Cancelled ? "interrupted" : s.reporter->LastStatus();
  r.exit_code = s.exit_code;
  r.duration_s = s.seconds;
  std::string error;
  if (!report_->Append(RecordLine(r), &error)) {
    report_failed_ = true;
    s.reporter->Note("the record could not be written: " + error);
  }
}

// Over the air the button is enabled after synchronisation: the operator
// confirms with Enter (one Enter for every port then waiting), or --yes
// confirms each port once its module has answered a poll.
void Run::Confirmations() {
  std::vector<PortSession*> waiting;
  for (auto& s : sessions_) {
    const auto& c = *s->controller;
    if (!s->outcome && c.State() == UpgradeState::Acquiring && c.Mode() == LinkMode::OverTheAir &&
        s->reporter->ButtonEnabled()) {
      waiting.push_back(s.get());
    }
  }
  if (waiting.empty()) return;
  // Confirm, never the button's toggle: a poll that failed meanwhile must not
  // turn the confirmation into a second, unattended upgrade.
  if (options_.yes) {
    for (auto* s : waiting) {
      if (s->reporter->PollsAcknowledged() > 0) s->controller->Confirm();
    }
    return;
  }
  for (auto* s : waiting) {
    if (s->prompted) continue;
    s->prompted = true;
    s->reporter->Note("over the air: press Enter to start the upgrade (or run with --yes)");
  }
  if (stdin_open_ && enter_.Pressed(&stdin_open_)) {
    for (auto* s : waiting) s->controller->Confirm();
  }
  if (!stdin_open_ && !stdin_end_noted_) {
    stdin_end_noted_ = true;  // then go on polling, as the window would
    waiting.front()->reporter->Note(
        "standard input is closed: the module keeps being polled until Ctrl-C (use --yes)");
  }
}

void Run::Summary(int exit_code) {
  if (options_.json) {
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& s : sessions_) {
      ports.push_back({{"port", s->port},
                       {"status", s->reporter->LastStatus()},
                       {"exit_code", s->exit_code},
                       {"duration_s", s->seconds}});
    }
    const std::string line = JsonLine({{"event", "summary"}, {"exit_code", exit_code}, {"ports", ports}});
    std::printf("%s\n", line.c_str());
    FlushChecked(stdout);
    return;
  }
  std::size_t width = 4;
  for (const auto& s : sessions_) width = std::max(width, s->port.size());
  std::string table = "\n";
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-40s %9s\n", static_cast<int>(width), "PORT", "RESULT", "DURATION");
  table += line;
  for (const auto& s : sessions_) {
    const std::string result =
        s->outcome == UpgradeOutcome::Cancelled ? "interrupted" : s->reporter->LastStatus();
    std::snprintf(line, sizeof line, "%-*s  %-40s %7.1f s\n", static_cast<int>(width), s->port.c_str(),
                  result.c_str(), s->seconds);
    table += line;
  }
  std::fputs(table.c_str(), stdout);
  FlushChecked(stdout);
}

int Run::Go() {
  // Two texts for one device would have the second upgrade fail as "busy"
  // against the first: refuse the command line instead.
  for (std::size_t i = 0; i < options_.ports.size(); ++i) {
    const std::string device = DeviceForPort(options_.ports[i]);
    for (std::size_t j = 0; j < i && !device.empty(); ++j) {
      if (DeviceForPort(options_.ports[j]) == device) {
        std::fprintf(stderr, "zevuvuri-cli: --port %s and --port %s name the same device %s\n",
                     options_.ports[j].c_str(), options_.ports[i].c_str(), device.c_str());
        return static_cast<int>(ExitCode::Usage);
      }
    }
  }
  if (options_.report) {
    std::string error;
    report_ = ReportFile::Open(*options_.report, &error);
    if (!report_) {
      std::fprintf(stderr, "zevuvuri-cli: --report: %s\n", error.c_str());
      return static_cast<int>(InterruptRequested() ? ExitCode::Interrupted : ExitCode::Report);
    }
    host_ = HostName();
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(std::filesystem::u8path(options_.firmware), ec);
    const std::u8string utf8 = absolute.u8string();
    firmware_path_ = ec ? options_.firmware : std::string(utf8.begin(), utf8.end());
  }
  if (InterruptRequested()) {
    std::fprintf(stderr, "zevuvuri-cli: interrupted before any module was touched\n");
    return static_cast<int>(ExitCode::Interrupted);
  }
  StartAll();

  for (;;) {
    bool running = false;
    for (auto& s : sessions_) {
      if (s->outcome) continue;
      if (const auto outcome = s->reporter->Ended()) {
        Finish(*s, *outcome);
      } else {
        running = true;
      }
    }
    if (!running) break;
    if (InterruptRequested()) {
      ShutDownAll();
      break;
    }
    Confirmations();
    WaitForWake(kLoopStep);  // an upgrade's end and a signal end it at once
  }
  if (board_) board_->Finish();

  // The first failure in the order the ports were given decides the status.
  int code = 0;
  bool interrupted = false;
  for (const auto& s : sessions_) {
    if (code == 0) code = s->exit_code;
    interrupted = interrupted || s->outcome == UpgradeOutcome::Cancelled;
  }
  if (interrupted) code = static_cast<int>(ExitCode::Interrupted);
  if (code == 0 && report_failed_) code = static_cast<int>(ExitCode::Report);
  if (code == 0 && OutputFailed()) code = static_cast<int>(ExitCode::Output);
  if (sessions_.size() > 1) Summary(code);
  return code;
}

}  // namespace

int RunUpgrades(const CliOptions& options) { return Run(options).Go(); }

}  // namespace zevuvuri::cli
