#include "tools/cli/station_run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/cli/console.h"
#include "tools/cli/exit_codes.h"
#include "records/json_line.h"
#include "tools/cli/output_check.h"
#include "tools/cli/plug_watcher.h"
#include "tools/cli/port_session.h"
#include "tools/cli/progress_board.h"
#include "tools/cli/serial_device_info.h"
#include "tools/cli/serial_scan.h"
#include "station/station_tally.h"
#include "records/unit_record.h"

namespace zevuvuri::cli {
namespace {

using station::StationTally;
using station::StationTotals;

using Clock = std::chrono::steady_clock;

// While a unit runs the loop looks for confirmations and ends; while every
// slot waits, its wait is the plug poll's fallback and the Enter key's delay.
constexpr auto kBusyStep = std::chrono::milliseconds{20};
constexpr auto kIdleStep = std::chrono::milliseconds{100};
// A device that this user may not open yet is waited for this long (udev
// sets its group a moment after it appears); then it is tried anyway.
constexpr auto kSettleLimit = std::chrono::seconds{1};

enum class SlotState {
  Waiting,    // for a unit: its device (plug), Enter or a scan
  Upgrading,  // a unit's upgrade runs
  Leaving,    // plug: the last unit's device is still there
};

struct Slot {
  std::string port;
  std::size_t row = 0;
  SlotState state = SlotState::Waiting;
  std::unique_ptr<PortSession> unit;  // the unit being upgraded, or the last one
  unsigned unit_number = 0;
  std::string mark;                        // plug: the device the last unit was on
  std::optional<Clock::time_point> seen;   // plug: a device seen that may not be opened yet
  std::string device;                      // where the unit's port text led when it started
  bool shared_noted = false;               // told that another slot holds its device
  Clock::time_point waiting_since{};       // scan: the longest waiting slot takes the next scan
};

// "2026-12-08T05:01:02.345Z-3f9a1c2e": when the station began, and a random
// part, so two stations started at one moment still differ.
std::string NewRunId() {
  std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
  return records::UtcTimeText(std::chrono::system_clock::now()) + suffix;
}

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

class Station {
 public:
  explicit Station(const CliOptions& options) : options_(options), confirmations_(options.yes) {}
  int Go();

 private:
  bool Plug() const { return options_.next == NextUnit::Plug; }
  bool Scan() const { return options_.next == NextUnit::Scan; }
  bool MayStart() const { return !options_.units || started_ < *options_.units; }
  std::vector<PortSession*> Running();

  void TakeEndings();
  void LookAtSlots(bool enter);
  void TakeScans(const std::vector<std::string>& lines, bool confirmed);
  void CheckRepeat(Slot& slot);
  bool DeviceHeldByAnotherSlot(Slot& slot, const std::string& device);
  bool StartUnit(Slot& slot, std::string mark, std::optional<std::string> serial = std::nullopt);
  void EndUnit(Slot& slot, UpgradeOutcome outcome);
  std::vector<std::string> OperatorInput(bool confirming);

  // What the slot shows now: `text` on its board row, a plain line
  // "PORT[ #UNIT]: line", or a JSON "slot" event with `state`.
  void Show(Slot& slot, const std::string& text, const std::string& line, const char* state, bool with_unit);
  void ShowWaiting(Slot& slot, const std::string& after);
  void Note(const std::string& text);
  void ShowRecords();
  void ShowTotals();
  void Summary(int code);

  const CliOptions& options_;
  std::vector<Slot> slots_;
  std::unique_ptr<ProgressBoard> board_;
  std::unique_ptr<PlugWatcher> watcher_;
  UnitRecords records_;
  Confirmations confirmations_;
  OperatorKeys keys_;
  StationTally tally_;
  std::string run_id_;
  unsigned started_ = 0;
  std::map<unsigned, int> failures_;  // unit number to exit status
  bool interrupted_ = false;
};

std::vector<PortSession*> Station::Running() {
  std::vector<PortSession*> running;
  for (auto& slot : slots_) {
    if (slot.state == SlotState::Upgrading) running.push_back(slot.unit.get());
  }
  return running;
}

void Station::Show(Slot& slot, const std::string& text, const std::string& line, const char* state,
                   bool with_unit) {
  if (options_.json) {
    nlohmann::json event = {{"event", "slot"}, {"port", slot.port}, {"state", state}};
    if (with_unit) event["unit"] = slot.unit_number;
    if (with_unit && slot.unit && slot.unit->serial_number) {
      event["serial_number"] = *slot.unit->serial_number;
      if (slot.unit->repeat) event["repeat"] = *slot.unit->repeat;
    }
    PrintLine(records::JsonLine(event));
  } else if (board_) {
    board_->SetStatus(slot.row, text);
  } else {
    PrintLine((with_unit ? slot.port + " #" + std::to_string(slot.unit_number) : slot.port) + ": " + line);
  }
}

// `after`: the last unit's result, which the board keeps beside the wait.
void Station::ShowWaiting(Slot& slot, const std::string& after) {
  slot.state = SlotState::Waiting;
  slot.seen.reset();
  slot.waiting_since = Clock::now();
  if (Plug()) {
    if (board_) board_->SetUnit(slot.row, std::nullopt);
    Show(slot, "waiting for a unit", "waiting for a unit", "waiting", false);
  } else if (Scan()) {
    Show(slot, after.empty() ? "waiting for a scan" : after + ", scan the next unit", "waiting for a scan",
         "waiting", false);
  } else {
    Show(slot, after.empty() ? "waiting for Enter" : after + ", Enter for the next unit", "waiting for Enter",
         "waiting", false);
  }
}

void Station::Note(const std::string& text) {
  if (options_.json) {
    PrintLine(records::JsonLine({{"event", "note"}, {"text", text}}));
  } else if (board_) {
    board_->Note(text);
  } else {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", text.c_str());
  }
}

// The records' line when it changed: on the board's foot, as a JSON
// "records" event, or on standard error.
void Station::ShowRecords() {
  const auto news = records_.News();
  if (!news) return;
  if (options_.json) {
    PrintLine(records::JsonLine({{"event", "records"}, {"text", *news}}));
  } else if (board_) {
    board_->SetRecordsLine(*news);
  } else {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", news->c_str());
  }
}

void Station::ShowTotals() {
  const StationTotals totals = tally_.Totals(Clock::now());
  if (options_.json) {
    nlohmann::json event = TotalsJson(totals);
    event["event"] = "totals";
    PrintLine(records::JsonLine(event));
  } else if (board_) {
    board_->SetFooter(StationTally::Line(totals));
  } else {
    PrintLine("station: " + StationTally::Line(totals));
  }
}

// Two port texts may come to lead to one device after the start (a link made
// later): while one slot's unit is on it, the other takes nothing there and
// says why once, rather than failing a unit as "busy".
bool Station::DeviceHeldByAnotherSlot(Slot& slot, const std::string& device) {
  for (const Slot& other : slots_) {
    if (&other == &slot || device.empty() || other.device != device || other.state == SlotState::Waiting) continue;
    if (!slot.shared_noted) {
      Note("--port " + other.port + " and --port " + slot.port + " name the same device " + device +
           ": only one slot takes a unit there");
      slot.shared_noted = true;
    }
    return true;
  }
  return false;
}

// False: another slot's unit holds the device, and this one takes nothing.
bool Station::StartUnit(Slot& slot, std::string mark, std::optional<std::string> serial) {
  std::string device = DeviceForPort(slot.port);
  if (DeviceHeldByAnotherSlot(slot, device)) return false;
  slot.device = std::move(device);
  slot.shared_noted = false;
  slot.unit_number = ++started_;
  slot.mark = std::move(mark);
  slot.state = SlotState::Upgrading;
  if (board_) board_->SetUnit(slot.row, slot.unit_number);
  const ReporterPlace place{slot.port, board_ == nullptr, board_.get(), slot.row, slot.unit_number};
  // The last unit's session goes (its worker long ended) before the next one's opens the port.
  slot.unit.reset();
  slot.unit = MakeSession(options_, slot.port, place, slot.port + " #" + std::to_string(slot.unit_number));
  slot.unit->serial_number = std::move(serial);
  if (slot.unit->serial_number) {
    if (board_) {
      board_->SetSerial(slot.row, *slot.unit->serial_number, false);
    } else {
      Show(slot, "", "serial " + *slot.unit->serial_number, "scanned", true);
    }
  }
  tally_.Began(Clock::now());
  StartSession(*slot.unit, options_);
  return true;
}

// Once the unit's image is taken, its serial number is looked up: a board
// that already had "Upgrade OK" with this image is upgraded again (a rework,
// a label scanned twice), but flagged on the board and in its record.
void Station::CheckRepeat(Slot& slot) {
  PortSession& unit = *slot.unit;
  if (!unit.serial_number || unit.repeat) return;
  const auto image = unit.reporter->FirmwareImage();
  if (!image || !image->sha256) return;
  unit.repeat = records_.UpgradedBefore(*unit.serial_number, *image->sha256);
  if (!*unit.repeat) return;
  if (board_) {
    board_->SetSerial(slot.row, *unit.serial_number, true);
  } else {
    Show(slot, "", "repeat: serial " + *unit.serial_number + " already had Upgrade OK with this firmware", "repeat",
         true);
  }
}

void Station::EndUnit(Slot& slot, UpgradeOutcome outcome) {
  PortSession& unit = *slot.unit;
  if (!unit.outcome) FinishSession(unit, outcome, options_.pacing);  // StopSessions took an interrupt's
  CheckRepeat(slot);
  if (unit.serial_number && !unit.repeat) unit.repeat = false;  // no image taken: nothing to repeat
  records_.Write(unit, options_.pacing, slot.unit_number);
  const std::string result = ResultText(unit);
  tally_.Ended(slot.port, unit.outcome == UpgradeOutcome::Ok, result, unit.seconds);
  if (unit.exit_code != 0) failures_.emplace(slot.unit_number, unit.exit_code);
  if (!interrupted_) {
    // Success or failure, a plugged unit must go before the next is taken: a
    // board that stays is never flashed twice, and a failed one is re-plugged
    // to be tried again.
    if (Plug()) {
      slot.state = SlotState::Leaving;
      Show(slot, result + ", remove the unit", "remove the unit", "remove", true);
    } else {
      ShowWaiting(slot, result);
    }
  }
  ShowTotals();
}

void Station::TakeEndings() {
  for (auto& slot : slots_) {
    if (slot.state != SlotState::Upgrading) continue;
    CheckRepeat(slot);
    if (const auto outcome = slot.unit->reporter->Ended()) EndUnit(slot, *outcome);
  }
}

// Reads the operator's Enter at every pass: one press starts every slot
// waiting for Enter and confirms every unit waiting over the air
// (`confirming`: some unit waits for that), as the window's one button starts
// or confirms. A press while nothing waits is dropped, as the window's
// disabled button drops a click: it cannot start the board just upgraded
// again, nor confirm a board plugged later.
// With --next scan each line is a scan, and an empty one also an Enter.
std::vector<std::string> Station::OperatorInput(bool confirming) {
  if (Plug() && confirmations_.Yes()) return {};  // nothing ever waits for Enter: standard input is left alone
  auto lines = keys_.Lines();
  if ((!Plug() || confirming) && keys_.EndJustSeen()) {
    Note(Plug() ? "standard input is closed: the module keeps being polled until Ctrl-C (use --yes)"
                : "standard input is closed: no more units will start");
  }
  return lines;
}

// Each scan goes to the slot that has waited longest; one that finds no slot
// waiting is dropped, as an Enter is, so that it never starts a board plugged
// later under another board's serial number. An empty line that confirmed a
// unit over the air (`confirmed`) was an Enter, not a scan.
void Station::TakeScans(const std::vector<std::string>& lines, bool confirmed) {
  for (const std::string& line : lines) {
    if (confirmed && (line.empty() || line == "\r")) continue;
    std::string why;
    const auto serial = SerialFromScan(line, &why);
    std::vector<Slot*> waiting;
    for (auto& slot : slots_) {
      if (slot.state == SlotState::Waiting) waiting.push_back(&slot);
    }
    if (waiting.empty() || !MayStart()) {
      Note((serial ? "scan " + *serial : std::string("a scan")) + " dropped: no slot waits for a unit");
      continue;
    }
    std::stable_sort(waiting.begin(), waiting.end(),
                     [](const Slot* a, const Slot* b) { return a->waiting_since < b->waiting_since; });
    if (!serial) {
      Note("scan refused: " + why + "; --port " + waiting.front()->port + " waits for the next scan");
      continue;
    }
    for (Slot* slot : waiting) {
      if (StartUnit(*slot, "", serial)) break;
    }
  }
}

void Station::LookAtSlots(bool enter) {
  const auto now = Clock::now();
  if (Plug()) watcher_->NewPass();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.state == SlotState::Upgrading) continue;
    if (!Plug()) {
      // Without plugs a slot never waits for its unit to leave; scans are taken by TakeScans.
      if (enter && MayStart() && !Scan()) StartUnit(slot, "");
      continue;
    }
    if (slot.state == SlotState::Waiting && !MayStart()) continue;
    // One look serves both: the last unit gone, and the next already there.
    const auto look = watcher_->Look(i);
    if (slot.state == SlotState::Leaving) {
      if (look && look->mark == slot.mark) continue;
      ShowWaiting(slot, "");
      if (!MayStart()) continue;
    }
    if (!look) {
      slot.seen.reset();
      continue;
    }
    if (!look->accessible) {
      if (!slot.seen) slot.seen = now;
      if (now - *slot.seen < kSettleLimit) continue;
    }
    StartUnit(slot, look->mark);
  }
}

void Station::Summary(int code) {
  const StationTotals totals = tally_.Totals(Clock::now());
  if (options_.json) {
    nlohmann::json ports = nlohmann::json::array();
    for (const auto& slot : slots_) {
      const auto [units, ok] = tally_.PortCounts(slot.port);
      ports.push_back({{"port", slot.port}, {"units", units}, {"ok", ok}, {"failed", units - ok}});
    }
    PrintLine(records::JsonLine({{"event", "summary"},
                        {"station_run", run_id_},
                        {"exit_code", code},
                        {"totals", TotalsJson(totals)},
                        {"ports", ports}}));
    return;
  }
  std::size_t width = 4;
  for (const auto& slot : slots_) width = std::max(width, slot.port.size());
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
  for (const auto& slot : slots_) {
    const auto [units, ok] = tally_.PortCounts(slot.port);
    row(slot.port, units, ok);
  }
  row("all", totals.units, totals.ok);
  table += StationTally::Line(totals) + "\n";
  std::fputs(table.c_str(), stdout);
  FlushChecked(stdout);
}

int Station::Go() {
  if (!PortsNameDistinctDevices(options_.ports)) return static_cast<int>(ExitCode::Usage);
  if (Plug()) {
    for (const auto& port : options_.ports) {
      if (!PlugWatcher::Watchable(port)) {
        std::fprintf(stderr, "zevuvuri-cli: --port %s: no unit can be plugged there (give a COM number or a device "
                             "path, or use --next enter)\n", port.c_str());
        return static_cast<int>(ExitCode::Usage);
      }
    }
  }
  if (const int code = records_.Open(options_, Scan()); code != 0) return code;
  run_id_ = NewRunId();
  records_.SetStationRun(run_id_);
  if (ErrorIsTerminal() && !options_.json) {
    board_ = std::make_unique<ProgressBoard>(stderr, options_.ports, /*station=*/true);
    board_->SetFooter(StationTally::Line(tally_.Totals(Clock::now())));
  }
  if (Plug()) watcher_ = std::make_unique<PlugWatcher>(options_.ports);
  for (std::size_t i = 0; i < options_.ports.size(); ++i) {
    slots_.push_back({});
    slots_.back().port = options_.ports[i];
    slots_.back().row = i;
  }
  for (auto& slot : slots_) ShowWaiting(slot, "");

  for (;;) {
    TakeEndings();
    if (InterruptRequested()) {
      interrupted_ = true;
      const auto running = Running();
      StopSessions(running, options_.pacing);
      for (auto& slot : slots_) {
        if (slot.state == SlotState::Upgrading) EndUnit(slot, *slot.unit->outcome);
      }
      break;
    }
    const auto running = Running();
    const bool idle = running.empty();
    if (idle && !MayStart()) break;
    if (idle && !Plug() && !keys_.Open()) break;
    const auto waiting = confirmations_.Waiting(running);
    const auto lines = OperatorInput(!confirmations_.Yes() && !waiting.empty());
    // A scan is no Enter: only an empty line confirms over the air then.
    const bool enter =
        Scan() ? std::any_of(lines.begin(), lines.end(), [](const auto& l) { return l.empty() || l == "\r"; })
               : !lines.empty();
    confirmations_.Apply(waiting, enter);
    const unsigned started_before = started_;
    LookAtSlots(enter);
    if (Scan()) TakeScans(lines, enter && !confirmations_.Yes() && !waiting.empty());
    ShowRecords();
    // Units run when some ran at the pass's start or one started just now.
    const bool busy = !idle || started_ != started_before;
    WaitForWake(busy ? kBusyStep : kIdleStep);  // an end, a plug and a signal end it at once
  }
  if (board_) board_->Finish();
  records_.Finish(interrupted_);

  const int code = RunExitStatus(failures_.empty() ? 0 : failures_.begin()->second, interrupted_, records_);
  Summary(code);
  return code;
}

}  // namespace

int RunStation(const CliOptions& options) { return Station(options).Go(); }

}  // namespace zevuvuri::cli
