// A station: each port a slot that waits for a unit, upgrades it, records it,
// waits for it to leave, and again, until a number of units in all or a stop.
// Toolkit-free: the command line draws it as a board or lines, the window as
// a row per slot. The front end owns the thread that calls every method here
// (the command line's main thread, the window thread) and calls Pass when
// woken or when NextPassIn has passed; the upgrades' workers only touch the
// model's per-unit state, which Pass publishes to the observer.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/pacing.h"
#include "engine/serial_link.h"
#include "engine/upgrade_sinks.h"
#include "records/forwarder.h"
#include "records/report_file.h"
#include "station/next_unit.h"
#include "station/setting_names.h"
#include "station/station_tally.h"

namespace zevuvuri {
class UpgradeController;
}

namespace zevuvuri::station {

// Everything a station needs, filled from the command line's options or from
// loader.cfg.
struct StationSettings {
  std::vector<std::string> ports;  // one slot each: COM numbers or device paths
  NextUnit next = NextUnit::Plug;
  std::optional<unsigned> units;   // end after this many units in all; nothing: until Stop
  // Confirm an over-the-air start at the module's first acknowledged poll,
  // without waiting for the operator.
  bool yes = false;
  std::string firmware;            // the file name's bytes as given
  std::string type_text = "0";     // the module type as the operator gave it
  Pacing pacing = Pacing::Classic;
  std::optional<std::chrono::milliseconds> sync_limit;  // give up synchronising after this long
  std::optional<std::string> report;      // the journal: one JSON record per unit appended
  std::optional<std::string> records_db;  // ODBC connection string: the journal's records forwarded there
  std::string station_name;               // for the records; the host name when empty
  // The approved image's SHA-256 (64 lowercase hex digits): any other image
  // ends with "couldn't open file" before the module is woken.
  std::optional<std::string> firmware_sha256;
  // How the front end's interrupt (Ctrl-C) cuts the journal's waits short (a
  // FIFO without a reader); unset: never.
  records::StopCheck interrupt;
  // A single run rather than a station: every slot takes one unit at once,
  // without waiting for a plug or a key, and the run is done when they have
  // ended. Its records carry no unit number and no station run; its slots
  // are never shown waiting or leaving.
  bool single_run = false;
  // A press of the start key starts nothing on a slot within this long after
  // the slot's last start (a bouncing foot switch, a key held on a port that
  // fails at once); zero: every press counts.
  std::chrono::milliseconds start_guard{0};
  // A single run whose unit starts only when the front end asks (StartAgain),
  // and again after each ending: the main window's Acquire button.
  bool on_request = false;
  // Plug: ports whose board was just upgraded elsewhere (the main window)
  // and is still there: the slot starts as Leaving, so that board is not
  // flashed again at once. Compared by the device they lead to.
  std::vector<std::string> leaving_ports;
  // How the texts that refuse a setting name it.
  SettingNames names = CommandLineNames();
};

enum class SlotPhase {
  Waiting,    // for a unit: its device (plug), the start key or a scan
  Upgrading,  // a unit's upgrade runs
  Leaving,    // plug: the last unit's device is still there
};

// The big result field: grey, green, red.
enum class ResultKind { None, Ok, Failed };

// What a slot shows now.
struct SlotSnapshot {
  std::string port;
  SlotPhase phase = SlotPhase::Waiting;
  // The unit on the slot, or the last one while Leaving (and, without plugs,
  // while the slot waits for the next one); nothing while a plug slot waits.
  std::optional<unsigned> unit;
  // The state as a text: "waiting for a unit", the upgrade's status texts,
  // "Upgrade OK, remove the unit", "Write Error, Enter for the next unit"...
  std::string text;
  int percent = -1;  // data progress 0..100; -1 before the unit's first data frame
  // Of the unit that ended last on this slot, kept until the next unit
  // starts: while it leaves and the slot waits after it (plug), and while
  // the slot waits for the next (Enter, scan); None while a unit runs.
  ResultKind result = ResultKind::None;
  std::string result_text;  // "Upgrade OK", the failure's status text, or "interrupted"
  std::optional<std::string> serial;  // as scanned (next = Scan)
  bool repeat = false;  // the scanned serial had "Upgrade OK" with this image before
  // Over the air: the start key (an Enter) would confirm this unit now.
  bool awaiting_confirm = false;
};

// Why SlotChanged was called; a front end that draws the snapshot whole may
// ignore it.
enum class SlotEvent {
  Waiting,   // the slot waits for a unit (after its last one, or at the start)
  Started,   // a unit began on the slot (its serial number in the snapshot when scanned)
  Repeat,    // the unit's serial number had "Upgrade OK" with this image before
  Progress,  // the running unit's status text, percent or confirmation changed
  Ended,     // the unit ended: result and result_text set; Leaving or Waiting follows unless stopped
  Leaving,   // plug: the ended unit is still there and must be removed
};

// How a unit ended, for front ends that print a result line.
struct UnitEnding {
  UpgradeOutcome outcome = UpgradeOutcome::Cancelled;
  int exit_code = 0;   // the command line's exit status for this outcome
  double seconds = 0;  // from the unit's start to its end
};

// A front end's own view of one unit's upgrade. The model keeps both (the
// controller is stopped before they go).
struct UnitFrontEnd {
  // Called from the upgrade's worker (and Start's thread), after the model's
  // own state has taken each call; may be null.
  std::unique_ptr<UpgradeSinks> sinks;
  // Every frame sent and byte received; may be null.
  std::unique_ptr<LinkObserver> link_observer;
  // Called once with the unit's controller, set up from the settings, before
  // its start: a window's production flag, a test's module. May be empty.
  std::function<void(UpgradeController&)> set_up;
};

// What a single run on request (StationSettings::on_request) flashes next:
// the fields of the window at the press.
struct UnitOrder {
  std::string port;
  std::string type_text;
  std::string firmware;  // the file name's bytes
  Pacing pacing = Pacing::Classic;
};

// The front end. Every call comes on the thread that calls StationModel's
// methods, from within them.
class StationObserver {
 public:
  virtual ~StationObserver() = default;
  virtual void SlotChanged(std::size_t slot, const SlotSnapshot& now, SlotEvent event) = 0;
  // A line for the operator about the station: a refused scan, a shared device...
  virtual void Note(const std::string& text) = 0;
  // The records' state when it changed: "records: N waiting for the
  // database: REASON", "records: all in the database".
  virtual void RecordsLine(const std::string& text) = 0;
  // After every unit's end.
  virtual void TotalsChanged(const StationTotals& totals) = 0;

  // A unit is about to start on `slot`: the front end's own sinks and link
  // observer for it. None by default.
  virtual UnitFrontEnd UnitStarting(std::size_t slot, unsigned unit);
  // A line for the operator about one unit ("interrupted: port closed", why a
  // port did not open, a record not written, "over the air: press Enter...").
  // By default a Note.
  virtual void UnitNote(std::size_t slot, unsigned unit, const std::string& text);
  // The unit's ending, before it is recorded. Nothing by default.
  virtual void UnitEnded(std::size_t slot, unsigned unit, const UnitEnding& ending);
  // What a unit waiting over the air tells the operator once (a UnitNote):
  // how to confirm its start in this front end's words. By default the
  // command line's (Enter, or --yes).
  virtual std::string ConfirmPrompt() const;
};

class StationModel {
 public:
  // `wake`: thread-safe, called from workers and the plug watch when a pass
  // is due at once (a unit ended, a device came or went).
  StationModel(StationSettings settings, StationObserver& observer, std::function<void()> wake);
  // Stops what still runs (as Stop, telling the observer, which must outlive
  // the model) and ends the records' forwarder at once, with no moment to
  // send what is left (its thread still gets RecordForwarder::kStopLimit).
  ~StationModel();
  StationModel(const StationModel&) = delete;
  StationModel& operator=(const StationModel&) = delete;

  // Checks the settings and opens the journal (and the forwarder). 0 and
  // every slot waiting (the front end draws Slot(i) now: no SlotChanged for
  // this first state); or a nonzero exit status (2 usage, 10 thread,
  // 11 journal, 130 interrupted while opening) with the reason in `*why`.
  int Open(std::string* why);

  // One pass: units' endings, confirmations over the air, the slots (plug
  // looks), scans, the records line. `typed`: what the operator typed since
  // the last pass, each without its newline; an empty line is an Enter (the
  // window's "Start waiting slots" passes {""}, its scan field {"LABEL"}).
  // A line that finds nothing waiting for it is dropped.
  void Pass(const std::vector<std::string>& typed);
  // The operator's input has ended (standard input closed): without plugs no
  // more units start, and the station is done once the running ones end.
  void InputEnded();
  // Whether the operator's input is read at all: not with plugs and `yes`,
  // where nothing ever waits for a key.
  bool WantsInput() const;
  // When the next pass is due unless woken: sooner while units run.
  std::chrono::milliseconds NextPassIn() const;
  // Nothing more will happen: the units asked for are done, the input ended
  // without plugs, or Stop.
  bool Done() const;
  std::size_t UnitsRunning() const;

  // While held, passes go on taking endings and showing progress, but no
  // unit starts: no plug is looked at, no press starts or confirms, and a
  // scan is dropped with a note. Releasing lets the next pass start what
  // waits (a unit plugged meanwhile included). For a question whose "Yes"
  // stops the running units: it must stop only the units it counted.
  void Hold(bool held);
  bool Held() const;

  // Ctrl-C / the window closed: endings that came by themselves are taken,
  // every other upgrade is stopped at once (side by side), each unit ended
  // and recorded ("interrupted" unless it had finished over the air), and
  // every port closed. Done afterwards.
  void Stop();
  // At the end, after Done: the forwarder given a moment to send what is
  // left (none after Stop), then stopped; the records still waiting counted.
  void Finish();
  // The run's exit status, final after Finish: 130 after Stop (or an
  // interrupt that cut a record short), else the status of the first unit
  // (by number) that did not end "Upgrade OK", else 11 when a record was not
  // written or the journal could not be read back, else 14 when records
  // still wait for the database, else 15 when the database refused records,
  // else 0.
  int ExitStatus() const;
  // After Finish: records left in the journal for the database, and where.
  std::uint64_t RecordsWaiting() const;
  // After Finish: the records left in the journal (waiting, refused), or why
  // it could not be read.
  const records::WaitingCount& RecordsLeft() const;
  const std::string& Journal() const;

  // A single run on request: once its last unit has ended, the next one
  // starts now with `order` (its first sink calls made before this returns).
  // False with `*why` in the front end's words when the firmware is one of
  // the journal's files; false with `*why` empty while a unit runs or when
  // the model is no single run on request.
  bool StartAgain(const UnitOrder& order, std::string* why);
  // The controller of the slot's running or last unit; null before its
  // first. For the front end's own queries (the over-the-air confirmation
  // by the unit's own button, whether its worker has returned).
  UpgradeController* UnitController(std::size_t slot) const;

  StationTotals Totals() const;
  // The units and the OK ones of one port.
  std::pair<unsigned, unsigned> PortCounts(const std::string& port) const;
  std::size_t Slots() const;
  const SlotSnapshot& Slot(std::size_t i) const;
  // This run's id in every record: its start time and a random part.
  const std::string& RunId() const;
  const StationSettings& Settings() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zevuvuri::station
