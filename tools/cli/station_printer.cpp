#include "tools/cli/station_printer.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "records/json_line.h"
#include "tools/cli/console.h"
#include "tools/cli/link_trace.h"
#include "tools/cli/output_check.h"
#include "tools/cli/screen_line.h"

namespace zevuvuri::cli {
namespace {

using station::SlotEvent;
using station::SlotSnapshot;
using station::StationTally;
using station::StationTotals;

// A line on standard output, with one stdio call so that it never
// interleaves with a unit's own lines.
void PrintLine(const std::string& text) {
  const std::string line = text + "\n";
  std::fputs(line.c_str(), stdout);
  FlushChecked(stdout);
}

nlohmann::json TotalsJson(const StationTotals& t) {
  nlohmann::json failures = nlohmann::json::object();
  for (const auto& [text, count] : t.failures) failures[text] = count;
  auto optional = [](const std::optional<double>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); };
  return {{"units", t.units},
          {"ok", t.ok},
          {"failed", t.failed},
          {"failures", failures},
          {"yield_percent", t.yield_percent},
          {"units_per_hour", optional(t.units_per_hour)},
          {"mean_s", optional(t.mean_s)},
          {"p95_s", optional(t.p95_s)}};
}

}  // namespace

void StationPrinter::Begin(const station::StationModel& model) {
  for (std::size_t i = 0; i < model.Slots(); ++i) ports_.push_back(model.Slot(i).port);
  reporters_.assign(ports_.size(), nullptr);
  endings_.assign(ports_.size(), {});
  if (Station()) {
    if (ErrorIsTerminal() && !options_.json) {
      board_ = std::make_unique<ProgressBoard>(stderr, ports_, /*station=*/true, ErrorColumns);
      board_->SetFooter(StationTally::TotalsLine(model.Totals()));
    }
    for (std::size_t i = 0; i < model.Slots(); ++i) SlotChanged(i, model.Slot(i), SlotEvent::Waiting);
  } else if (ports_.size() > 1 && ErrorIsTerminal() && !options_.json) {
    board_ = std::make_unique<ProgressBoard>(stderr, ports_, /*station=*/false, ErrorColumns);
  }
}

void StationPrinter::Show(std::size_t slot, const SlotSnapshot& now, const std::string& text, const std::string& line,
                          const char* state, bool with_unit, bool with_repeat) {
  const unsigned unit = now.unit.value_or(0);
  if (options_.json) {
    nlohmann::json event = {{"event", "slot"}, {"port", now.port}, {"state", state}};
    if (with_unit) event["unit"] = unit;
    if (with_unit && now.serial) {
      event["serial_number"] = *now.serial;
      if (with_repeat) event["repeat"] = now.repeat;
    }
    PrintLine(records::JsonLine(event));
  } else if (board_) {
    board_->SetStatus(slot, text);
  } else {
    PrintLine((with_unit ? now.port + " #" + std::to_string(unit) : now.port) + ": " + line);
  }
}

void StationPrinter::SlotChanged(std::size_t slot, const SlotSnapshot& now, SlotEvent event) {
  if (!Station()) return;  // a single run shows its units' own lines only
  switch (event) {
    case SlotEvent::Waiting: {
      const char* line = options_.next == NextUnit::Plug   ? "waiting for a unit"
                         : options_.next == NextUnit::Scan ? "waiting for a scan"
                                                           : "waiting for Enter";
      if (board_ && options_.next == NextUnit::Plug) board_->SetUnit(slot, std::nullopt);
      Show(slot, now, now.text, line, "waiting", false, false);
      break;
    }
    case SlotEvent::Started:
      if (!now.serial) break;
      if (board_) {
        board_->SetSerial(slot, *now.serial, false);
      } else {
        Show(slot, now, "", "serial " + *now.serial, "scanned", true, false);
      }
      break;
    case SlotEvent::Repeat:
      if (board_) {
        board_->SetSerial(slot, now.serial.value_or(""), true);
      } else {
        Show(slot, now, "", "repeat: serial " + now.serial.value_or("") + " already had Upgrade OK with this firmware",
             "repeat", true, true);
      }
      break;
    case SlotEvent::Leaving:
      Show(slot, now, now.text, "remove the unit", "remove", true, true);
      break;
    case SlotEvent::Progress:
    case SlotEvent::Ended:
      break;  // the unit's reporter has shown them
  }
}

void StationPrinter::Note(const std::string& text) {
  if (options_.json) {
    PrintLine(records::JsonLine({{"event", "note"}, {"text", text}}));
  } else if (board_) {
    board_->Note(text);
  } else {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", OneLine(text).c_str());
  }
}

// On the board's foot, as a JSON "records" event, or on standard error.
void StationPrinter::RecordsLine(const std::string& text) {
  if (options_.json) {
    PrintLine(records::JsonLine({{"event", "records"}, {"text", text}}));
  } else if (board_) {
    board_->SetRecordsLine(text);
  } else {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", OneLine(text).c_str());
  }
}

void StationPrinter::TotalsChanged(const StationTotals& totals) {
  if (!Station()) return;
  if (options_.json) {
    nlohmann::json event = TotalsJson(totals);
    event["event"] = "totals";
    PrintLine(records::JsonLine(event));
  } else if (board_) {
    board_->SetFooter(StationTally::TotalsLine(totals));
  } else {
    PrintLine("station: " + StationTally::TotalsLine(totals));
  }
}

station::UnitFrontEnd StationPrinter::UnitStarting(std::size_t slot, unsigned unit) {
  const std::string& port = ports_.at(slot);
  ReporterPlace place;
  std::string label;
  if (Station()) {
    if (board_) board_->SetUnit(slot, unit);
    place = {port, board_ == nullptr, board_.get(), slot, unit};
    label = port + " #" + std::to_string(unit);
  } else {
    const bool several = ports_.size() > 1;
    place = {port, several && board_ == nullptr, board_.get(), slot, std::nullopt};
    label = several ? port : "";
  }
  auto reporter = std::make_unique<ConsoleReporter>(stdout, stderr, options_.json, ErrorIsTerminal(), place);
  reporters_[slot] = reporter.get();
  station::UnitFrontEnd front;
  front.sinks = std::move(reporter);
  if (options_.trace) front.link_observer = std::make_unique<LinkTrace>(stderr, label);
  return front;
}

void StationPrinter::UnitNote(std::size_t slot, unsigned, const std::string& text) { reporters_.at(slot)->Note(text); }

void StationPrinter::UnitEnded(std::size_t slot, unsigned, const station::UnitEnding& ending) {
  ConsoleReporter& reporter = *reporters_.at(slot);
  reporter.Result(ending.outcome, ending.exit_code, ending.seconds, options_.pacing);
  endings_[slot] = {reporter.LastStatus(), ending.outcome == UpgradeOutcome::Cancelled, ending.exit_code,
                    ending.seconds};
}

void StationPrinter::FinishBoard() {
  if (board_) board_->Finish();
}

void StationPrinter::Summary(const station::StationModel& model, int exit_code) {
  if (Station()) {
    StationSummary(model, exit_code);
  } else if (ports_.size() > 1) {
    SingleRunSummary(exit_code);
  }
}

void StationPrinter::StationSummary(const station::StationModel& model, int exit_code) {
  const StationTotals totals = model.Totals();
  if (options_.json) {
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& port : ports_) {
      const auto [units, ok] = model.PortCounts(port);
      ports.push_back({{"port", port}, {"units", units}, {"ok", ok}, {"failed", units - ok}});
    }
    PrintLine(records::JsonLine({{"event", "summary"},
                                 {"station_run", model.RunId()},
                                 {"exit_code", exit_code},
                                 {"totals", TotalsJson(totals)},
                                 {"ports", ports}}));
    return;
  }
  std::size_t width = 4;
  for (const auto& port : ports_) width = std::max(width, port.size());
  std::string table = "\n";
  char line[512];
  auto row = [&](const std::string& port, unsigned units, unsigned ok) {
    const double yield = units == 0 ? 0.0 : 100.0 * ok / units;
    std::snprintf(line, sizeof line, "%-*s  %7u  %7u  %7u  %6.1f %%\n", static_cast<int>(width), port.c_str(), units,
                  ok, units - ok, yield);
    table += line;
  };
  std::snprintf(line, sizeof line, "%-*s  %7s  %7s  %7s  %8s\n", static_cast<int>(width), "PORT", "UNITS", "OK",
                "FAILED", "YIELD");
  table += line;
  for (const auto& port : ports_) {
    const auto [units, ok] = model.PortCounts(port);
    row(port, units, ok);
  }
  row("all", totals.units, totals.ok);
  table += StationTally::TotalsLine(totals) + "\n";
  std::fputs(table.c_str(), stdout);
  FlushChecked(stdout);
}

void StationPrinter::SingleRunSummary(int exit_code) {
  if (options_.json) {
    nlohmann::json ports = nlohmann::json::array();
    for (std::size_t i = 0; i < ports_.size(); ++i) {
      ports.push_back({{"port", ports_[i]},
                       {"status", endings_[i].status},
                       {"exit_code", endings_[i].exit_code},
                       {"duration_s", endings_[i].seconds}});
    }
    PrintLine(records::JsonLine({{"event", "summary"}, {"exit_code", exit_code}, {"ports", ports}}));
    return;
  }
  std::size_t width = 4;
  for (const auto& port : ports_) width = std::max(width, port.size());
  std::string table = "\n";
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-40s %9s\n", static_cast<int>(width), "PORT", "RESULT", "DURATION");
  table += line;
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const std::string result = endings_[i].interrupted ? "interrupted" : endings_[i].status;
    std::snprintf(line, sizeof line, "%-*s  %-40s %7.1f s\n", static_cast<int>(width), ports_[i].c_str(),
                  result.c_str(), endings_[i].seconds);
    table += line;
  }
  std::fputs(table.c_str(), stdout);
  FlushChecked(stdout);
}

}  // namespace zevuvuri::cli
