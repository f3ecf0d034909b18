// How the command line shows a station, and a single run (a station whose
// slots each take one unit at once): a board on a terminal, plain lines, or
// JSON events on standard output; each unit's own lines come from its
// ConsoleReporter; at the end, the summary table.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/station_model.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console_reporter.h"
#include "tools/cli/progress_board.h"

namespace zevuvuri::cli {

// Main thread: every call comes from the model's methods there.
class StationPrinter final : public station::StationObserver {
 public:
  explicit StationPrinter(const CliOptions& options) : options_(options) {}

  // Once the model has opened: the board (on a terminal) and every slot's
  // first state.
  void Begin(const station::StationModel& model);

  void SlotChanged(std::size_t slot, const station::SlotSnapshot& now, station::SlotEvent event) override;
  void Note(const std::string& text) override;
  void RecordsLine(const std::string& text) override;
  void TotalsChanged(const station::StationTotals& totals) override;
  station::UnitFrontEnd UnitStarting(std::size_t slot, unsigned unit) override;
  void UnitNote(std::size_t slot, unsigned unit, const std::string& text) override;
  void UnitEnded(std::size_t slot, unsigned unit, const station::UnitEnding& ending) override;

  // The board's final state, the cursor left below it.
  void FinishBoard();
  // The table (or JSON event) at the run's end: a station's units and yield
  // per port, a single run's result per port when it had several.
  void Summary(const station::StationModel& model, int exit_code);

 private:
  struct PortEnding {
    std::string status;  // the last status text
    bool interrupted = false;
    int exit_code = 0;
    double seconds = 0;
  };

  bool Station() const { return options_.station; }
  // What the slot shows now: `text` on its board row, a plain line
  // "PORT[ #UNIT]: line", or a JSON "slot" event with `state`.
  void Show(std::size_t slot, const station::SlotSnapshot& now, const std::string& text, const std::string& line,
            const char* state, bool with_unit, bool with_repeat);
  void StationSummary(const station::StationModel& model, int exit_code);
  void SingleRunSummary(int exit_code);

  const CliOptions& options_;
  std::unique_ptr<ProgressBoard> board_;
  std::vector<std::string> ports_;
  std::vector<ConsoleReporter*> reporters_;  // the slot's current unit's, owned by the model
  std::vector<PortEnding> endings_;
};

}  // namespace zevuvuri::cli
