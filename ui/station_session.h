// The station view's behaviour, whatever toolkit draws it: the station model
// behind the view, driven by the toolkit's timer and a wake-up, and what the
// view shows of it: a row per slot, the shift's totals, the records' state,
// the last note, the start button or the scan field, and the question asked
// before closing while units run. A toolkit realisation draws these, calls
// Tick() when asked to, and differs from the others only in its widgets.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/station_model.h"
#include "ui/journal_open_limit.h"
#include "ui/settings_file.h"

namespace zevuvuri::ui {

// What the big result field of a row shows. Its text always says it too, so
// that no result is told apart by colour alone.
enum class RowResult {
  Waiting,    // grey: no unit on the slot (a plugged unit that left takes its result along)
  Running,    // grey: a unit is being upgraded
  Ok,         // green: the unit on the slot ended "Upgrade OK"
  Failed,     // red: the unit on the slot failed; the text says how
};

struct StationRow {
  std::wstring port;         // as Ports= gives it
  std::wstring unit;         // "#12": the unit on the slot or the last one; empty before the first
  std::wstring state;        // "waiting for a unit", a status text, "Upgrade OK, remove the unit", ...
  int percent = -1;          // of the firmware's data sent; -1 before the first data frame; 100 once OK
  RowResult result = RowResult::Waiting;
  std::wstring result_text;  // "waiting", "upgrading", "OK" or the failure text
  std::wstring serial;       // Next=scan: the unit's serial number, " (repeat)" after one already upgraded OK
};

// What the session needs of a toolkit.
class StationToolkit {
 public:
  virtual ~StationToolkit() = default;
  // Window thread: Rows(), TotalsLine(), RecordsLine() or Status() changed.
  virtual void RowsChanged() = 0;
  // Any thread: ask the window thread to call Tick() soon. Never called once
  // End() has returned.
  virtual void WakeUp() = 0;
  // Window thread: the station has done all it will (the model says so); the
  // view closes.
  virtual void CloseWindow() = 0;
};

// Thread contract: window thread only (the one that constructs it); the
// model's upgrade workers reach it only through the wake-up.
//
// Ending: Stop() ends every unit at once; End() (also the destructor) stops
// what still runs, joins every worker, closes the records and gives the exit
// status, as the command line's station gives it.
class StationSession final : private station::StationObserver {
 public:
  // From loader.cfg (ReadStationSettings); a file that describes no station
  // leaves the session without one, and Problem() says why.
  StationSession(StationToolkit& toolkit, const SettingsFile& file);
  StationSession(StationToolkit& toolkit, station::StationSettings settings);
  ~StationSession() override;  // End()
  StationSession(const StationSession&) = delete;
  StationSession& operator=(const StationSession&) = delete;

  // Why no unit can start (the settings, the journal, the ports); empty
  // while the station runs.
  const std::wstring& Problem() const { return problem_; }
  // The view's status line: the problem, or else the last note the station
  // gave the operator (a refused scan, a shared device, ...).
  std::wstring Status() const { return problem_.empty() ? note_ : problem_; }

  // On the toolkit's timer, NextTickIn() after the last call, and on WakeUp().
  void Tick();
  std::chrono::milliseconds NextTickIn() const;

  // "Start waiting slots", Space/Enter, a foot switch: starts every slot
  // waiting for Enter and confirms every unit waiting over the air, as the
  // command line's Enter. A press while nothing waits is dropped.
  void PressStart();
  // Next=scan: a scanned label, for the slot that has waited longest.
  void Scan(const std::wstring& label);
  bool StartButtonUsed() const;  // Next=enter
  bool ScanFieldUsed() const;    // Next=scan

  const std::vector<StationRow>& Rows() const { return rows_; }
  const std::wstring& TotalsLine() const { return totals_; }     // the command line's totals line
  const std::wstring& RecordsLine() const { return records_; }   // empty until the records have news

  std::size_t UnitsRunning() const;
  // "N units are being upgraded. Stop them?" while units run (N of them,
  // 1 included); empty when none does.
  std::wstring CloseQuestion() const;
  // Every upgrade ended at once, the interrupted units recorded, every port
  // freed; no unit starts after it. With no unit running it only ends the
  // shift: its exit status stays what the units made it.
  void Stop();
  bool Stopped() const { return stopped_; }

  // Idempotent: Stop(), then the records closed. The exit status, as the
  // command line's station gives it (130 after a stop, else the first failed
  // unit's, ...; 2 for a station file that cannot run).
  int End();

 private:
  // station::StationObserver, called from the model on the window thread.
  void SlotChanged(std::size_t slot, const station::SlotSnapshot& now, station::SlotEvent event) override;
  void Note(const std::string& text) override;
  void RecordsLine(const std::string& text) override;
  void TotalsChanged(const station::StationTotals& totals) override;

  void Open(station::StationSettings settings);
  void Pass(std::vector<std::string> lines);

  struct WakeGate;  // lets the workers' wake-ups through until End()

  StationToolkit& toolkit_;
  std::shared_ptr<WakeGate> gate_;
  JournalOpenLimit journal_limit_;                // a FIFO's reader is waited for only so long
  std::unique_ptr<station::StationModel> model_;  // nothing when it could not open
  station::NextUnit next_ = station::NextUnit::Plug;
  std::vector<StationRow> rows_;
  std::wstring totals_;
  std::wstring records_;
  std::wstring note_;
  std::wstring problem_;
  bool changed_ = false;
  bool stopped_ = false;
  bool ended_ = false;
  int exit_status_ = 0;
};

// The row a slot's snapshot shows (exposed for the toolkits' tests).
StationRow RowOf(const station::SlotSnapshot& slot, station::NextUnit next);

}  // namespace zevuvuri::ui
