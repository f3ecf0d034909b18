#include "tools/cli/station_run.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "station/exit_codes.h"
#include "station/station_model.h"
#include "tools/cli/console.h"
#include "tools/cli/forward_records.h"
#include "tools/cli/output_check.h"
#include "tools/cli/station_printer.h"

namespace zevuvuri::cli {
namespace {

using station::ExitCode;

station::StationSettings SettingsFrom(const CliOptions& options) {
  station::StationSettings s;
  s.ports = options.ports;
  s.next = options.next;
  s.units = options.units;
  s.yes = options.yes;
  s.firmware = options.firmware;
  s.type_text = options.type;
  s.pacing = options.pacing;
  if (options.sync_timeout_seconds) {
    s.sync_limit = std::chrono::milliseconds(static_cast<long long>(*options.sync_timeout_seconds * 1000));
  }
  s.report = options.report;
  s.records_db = options.records_db;
  s.station_name = options.station_name;
  s.firmware_sha256 = options.firmware_sha256;
  s.interrupt = records::StopCheck{InterruptRequested, WaitForWake};
  s.single_run = !options.station;
  return s;
}

}  // namespace

int RunStation(const CliOptions& options) {
  StationPrinter printer(options);
  station::StationModel model(SettingsFrom(options), printer, WakeMainLoop);
  EnterKey key;  // the operator's Enter, or a scanner's lines
  std::string why;
  if (const int code = model.Open(&why); code != 0) {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", why.c_str());
    return code;
  }
  if (!options.station && InterruptRequested()) {
    std::fprintf(stderr, "zevuvuri-cli: interrupted before any module was touched\n");
    return static_cast<int>(ExitCode::Interrupted);
  }
  printer.Begin(model);

  bool input_open = true;
  for (;;) {
    if (InterruptRequested()) {
      model.Stop();
      break;
    }
    // Read at every pass: what found nothing waiting for it is dropped by
    // the model, so an Enter typed early never starts or confirms a unit
    // that comes later.
    std::vector<std::string> lines;
    if (model.WantsInput() && input_open) {
      lines = key.Lines(&input_open);
      if (!input_open) model.InputEnded();
    }
    model.Pass(lines);
    if (model.Done()) break;
    WaitForWake(model.NextPassIn());  // an end, a plug and a signal end it at once
  }
  printer.FinishBoard();
  model.Finish();
  SayRecordsLeft(model.RecordsLeft(), model.Journal());

  int code = model.ExitStatus();
  if (code == 0 && OutputFailed()) code = static_cast<int>(ExitCode::Output);
  printer.Summary(model, code);
  return code;
}

}  // namespace zevuvuri::cli
