#include "tools/cli/upgrade_run.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/cli/console.h"
#include "tools/cli/exit_codes.h"
#include "records/json_line.h"
#include "tools/cli/output_check.h"
#include "tools/cli/port_session.h"
#include "tools/cli/progress_board.h"

namespace zevuvuri::cli {
namespace {

constexpr auto kLoopStep = std::chrono::milliseconds{20};

class Run {
 public:
  explicit Run(const CliOptions& options) : options_(options), confirmations_(options.yes) {}
  int Go();

 private:
  void StartAll();
  void Finish(PortSession& s, UpgradeOutcome outcome);
  void Confirm();
  void Summary(int exit_code);

  const CliOptions& options_;
  std::unique_ptr<ProgressBoard> board_;
  std::vector<std::unique_ptr<PortSession>> sessions_;
  UnitRecords records_;
  Confirmations confirmations_;
  OperatorKeys keys_;
};

void Run::StartAll() {
  const bool several = options_.ports.size() > 1;
  if (several && ErrorIsTerminal() && !options_.json) board_ = std::make_unique<ProgressBoard>(stderr, options_.ports);
  for (std::size_t i = 0; i < options_.ports.size(); ++i) {
    const std::string& port = options_.ports[i];
    const ReporterPlace place{port, several && board_ == nullptr, board_.get(), i, std::nullopt};
    sessions_.push_back(MakeSession(options_, port, place, several ? port : ""));
  }
  for (auto& s : sessions_) StartSession(*s, options_);
}

void Run::Finish(PortSession& s, UpgradeOutcome outcome) {
  FinishSession(s, outcome, options_.pacing);
  records_.Write(s, options_.pacing);
}

void Run::Confirm() {
  std::vector<PortSession*> running;
  for (auto& s : sessions_) {
    if (!s->outcome) running.push_back(s.get());
  }
  const auto waiting = confirmations_.Waiting(running);
  // Standard input is read at every pass (--yes never needs it): an Enter
  // typed while no port waits for it, while synchronising say, is dropped
  // here rather than kept to start a stream by itself later.
  const bool enter = !confirmations_.Yes() && keys_.Pressed();
  if (waiting.empty()) return;
  confirmations_.Apply(waiting, enter);
  if (!confirmations_.Yes() && keys_.EndJustSeen()) {  // then go on polling, as the window would
    waiting.front()->reporter->Note("standard input is closed: the module keeps being polled until Ctrl-C (use --yes)");
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
    const std::string line = records::JsonLine({{"event", "summary"}, {"exit_code", exit_code}, {"ports", ports}});
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
    std::snprintf(line, sizeof line, "%-*s  %-40s %7.1f s\n", static_cast<int>(width), s->port.c_str(),
                  ResultText(*s).c_str(), s->seconds);
    table += line;
  }
  std::fputs(table.c_str(), stdout);
  FlushChecked(stdout);
}

int Run::Go() {
  if (!PortsNameDistinctDevices(options_.ports)) return static_cast<int>(ExitCode::Usage);
  if (const int code = records_.Open(options_); code != 0) return code;
  if (InterruptRequested()) {
    std::fprintf(stderr, "zevuvuri-cli: interrupted before any module was touched\n");
    return static_cast<int>(ExitCode::Interrupted);
  }
  StartAll();

  for (;;) {
    std::vector<PortSession*> running;
    for (auto& s : sessions_) {
      if (s->outcome) continue;
      if (const auto outcome = s->reporter->Ended()) {
        Finish(*s, *outcome);
      } else {
        running.push_back(s.get());
      }
    }
    if (running.empty()) break;
    if (InterruptRequested()) {
      StopSessions(running, options_.pacing);
      for (PortSession* s : running) records_.Write(*s, options_.pacing);
      break;
    }
    Confirm();
    if (const auto news = records_.News()) {
      if (board_) {
        board_->SetRecordsLine(*news);
      } else if (options_.json) {
        const std::string line = records::JsonLine({{"event", "records"}, {"text", *news}});
        std::printf("%s\n", line.c_str());
        FlushChecked(stdout);
      } else {
        std::fprintf(stderr, "zevuvuri-cli: %s\n", news->c_str());
      }
    }
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
  records_.Finish(interrupted);
  code = RunExitStatus(code, interrupted, records_);
  if (sessions_.size() > 1) Summary(code);
  return code;
}

}  // namespace

int RunUpgrades(const CliOptions& options) { return Run(options).Go(); }

}  // namespace zevuvuri::cli
