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
  Waiting,    // grey: no unit has ended on the slot yet
  Running,    // grey: a unit is being upgraded
  Ok,         // green: the slot's last unit ended "Upgrade OK" (pale once a plugged unit has left)
  Failed,     // red: the slot's last unit failed; the text says how (pale once a plugged unit has left)
};

struct StationRow {
  std::wstring port;         // as Ports= gives it
  std::wstring unit;         // "#12": the unit on the slot or the last one; empty before the first
  std::wstring state;        // "waiting for a unit", a status text, "Upgrade OK, remove the unit", ...
  int percent = -1;          // of the firmware's data sent; -1 before the first data frame; 100 once OK
  RowResult result = RowResult::Waiting;
  std::wstring result_text;  // "waiting", "upgrading", "OK" or the failure text
  std::wstring serial;       // Next=scan: the unit's serial number, " (repeat)" after one already upgraded OK
  // Ok or Failed of a unit that has left (plug): kept until the next unit
  // starts, shown dimmed so that it is not taken for the unit now there.
  bool dimmed = false;
  unsigned units_ok = 0;      // of this slot's units this shift
  unsigned units_failed = 0;
  bool awaiting_confirm = false;  // over the air: the start key would confirm this unit now
};

// What the session needs of a toolkit.
class StationToolkit {
 public:
  virtual ~StationToolkit() = default;
  // Window thread: Rows(), TotalsLine(), RecordsLine() or Status() changed.
  virtual void RowsChanged() = 0;
  // Any thread: ask the window thread to call Tick() soon. Never called once
  // Finish() has returned.
  virtual void WakeUp() = 0;
  // Window thread: the station has done all it will (the model says so); the
  // view closes.
  virtual void CloseWindow() = 0;
};

// Thread contract: window thread only (the one that constructs it); the
// model's upgrade workers reach it only through the wake-up.
//
// Ending: Stop() ends every unit at once; Finish() (also the destructor) stops
// what still runs, joins every worker, closes the records and gives the exit
// status, as the command line's station gives it.
class StationSession final : private station::StationObserver {
 public:
  // From loader.cfg (ReadStationSettings); a file that describes no station
  // leaves the session without one, and Problem() says why.
  StationSession(StationToolkit& toolkit, const SettingsFile& file);
  StationSession(StationToolkit& toolkit, station::StationSettings settings);
  ~StationSession() override;  // Finish()
  StationSession(const StationSession&) = delete;
  StationSession& operator=(const StationSession&) = delete;

  // Why no unit can start (the settings, the journal, the ports); empty
  // while the station runs.
  const std::wstring& Problem() const { return problem_; }
  // The view's status line: the problem, or else the note about the latest
  // event (a refused scan, a shared device, a unit waiting over the air,
  // why a port did not open). A note goes when a later event makes it
  // untrue: any note by the next note; a note about the station (a scan
  // refused or dropped) once a unit starts; a note about a unit once its
  // slot's next unit starts, and one given while it waited before its data
  // (the confirmation over the air) once its data flows or it ends.
  std::wstring Status() const { return problem_.empty() ? note_ : problem_; }
  // What every slot flashes: firmware, size, SHA-256, type, station, pacing
  // (HeaderLine); empty when the settings could not be read.
  const std::wstring& Header() const { return header_; }

  // On the toolkit's timer, NextTickIn() after the last call, and on WakeUp().
  void Tick();
  std::chrono::milliseconds NextTickIn() const;

  // "Start waiting slots", Space/Enter, a foot switch: starts every slot
  // waiting for Enter and confirms every unit waiting over the air, as the
  // command line's Enter. A press while nothing waits is dropped, and so is
  // one within kStartGuard of a slot's last start, for that slot. A toolkit
  // calls it once per press of a key: never for the key's auto-repeat.
  void PressStart();
  // Next=scan: a scanned label, for the slot that has waited longest.
  void Scan(const std::wstring& label);
  // Next=enter, and Next=plug unless every unit over the air starts by
  // itself: the start button and keys confirm the units that wait for them.
  bool StartButtonUsed() const;
  bool ScanFieldUsed() const;  // Next=scan
  // Whether the start button is offered now: the station runs and, with
  // Next=plug, a unit waits over the air for its confirmation.
  bool StartEnabled() const;

  // While the close question is open: no unit starts (nor is confirmed),
  // whatever comes; the running ones go on. Released ("No"), the station
  // takes what waits at its next pass.
  void Hold(bool held);

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
  // The desktop ends the program (a signal, a log-off): every running unit
  // stopped as by Stop(), and the shift ends as an interrupted one (exit
  // status 130), as the command line's station ends on SIGTERM.
  void Interrupt();

  // Idempotent: Stop(), then the records closed. The exit status, as the
  // command line's station gives it (130 after a stop, else the first failed
  // unit's, ...; 2 for a station file that cannot run).
  int Finish();

 private:
  // station::StationObserver, called from the model on the window thread.
  void SlotChanged(std::size_t slot, const station::SlotSnapshot& now, station::SlotEvent event) override;
  void Note(const std::string& text) override;
  void RecordsLine(const std::string& text) override;
  void TotalsChanged(const station::StationTotals& totals) override;
  void UnitNote(std::size_t slot, unsigned unit, const std::string& text) override;
  void UnitEnded(std::size_t slot, unsigned unit, const station::UnitEnding& ending) override;
  void ClearNote();
  std::string ConfirmPrompt() const override;

  void Open(station::StationSettings settings);
  void Pass(std::vector<std::string> typed);

  struct WakeGate;  // lets the workers' wake-ups through until Finish()

  StationToolkit& toolkit_;
  std::shared_ptr<WakeGate> gate_;
  JournalOpenLimit journal_limit_;                // a FIFO's reader is waited for only so long
  std::unique_ptr<station::StationModel> model_;  // nothing when it could not open
  station::NextUnit next_ = station::NextUnit::Plug;
  bool yes_ = false;  // every unit over the air confirmed at its first poll
  std::vector<StationRow> rows_;
  std::wstring totals_;
  std::wstring records_;
  std::wstring note_;
  // Whose note it is: a unit's (its number) or the station's (nothing); the
  // pass it came in, and whether its unit's data had begun to flow.
  std::optional<unsigned> note_unit_;
  std::size_t note_slot_ = 0;
  unsigned note_pass_ = 0;
  bool note_before_data_ = false;
  unsigned passes_ = 0;
  std::wstring header_;
  std::wstring problem_;
  bool changed_ = false;
  bool stopped_ = false;
  bool ended_ = false;
  int exit_status_ = 0;
};

// The row a slot's snapshot shows (exposed for the toolkits' tests), with
// the slot's counts of units that ended OK and failed.
StationRow RowOf(const station::SlotSnapshot& slot, station::NextUnit next, unsigned units_ok = 0,
                 unsigned units_failed = 0);

// The station's setting names as loader.cfg spells them, for the model's
// messages in the window.
station::SettingNames WindowSettingNames();

// How long after a slot's last start a press of the start key starts
// nothing there: longer than a foot switch's bounce and a key's repeat
// delay, shorter than an operator takes to swap a board.
inline constexpr std::chrono::milliseconds kStartGuard{1000};

}  // namespace zevuvuri::ui
