#include "station/station_model.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <utility>

#include "records/unit_record.h"
#include "station/confirmations.h"
#include "station/distinct_devices.h"
#include "station/exit_codes.h"
#include "station/live_publishing.h"
#include "station/plug_watcher.h"
#include "station/serial_device_info.h"
#include "station/start_guard.h"
#include "station/station_slot.h"
#include "station/typed_input.h"
#include "station/unit_records.h"
#include "station/unit_session.h"

namespace zevuvuri::station {
namespace {

using Clock = std::chrono::steady_clock;

// While a unit runs a pass looks for confirmations and ends; while every
// slot waits, its wait is the plug look's fallback and the start key's delay.
constexpr auto kBusyStep = std::chrono::milliseconds{20};
constexpr auto kIdleStep = std::chrono::milliseconds{100};
// A device that this user may not open yet is waited for this long (udev
// sets its group a moment after it appears); then it is tried anyway.
constexpr auto kSettleLimit = std::chrono::seconds{1};

// "2026-12-08T05:01:02.345Z-3f9a1c2e": when the station began, and a random
// part, so two stations started at one moment still differ.
std::string NewRunId() {
  std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
  return records::UtcTimeText(std::chrono::system_clock::now()) + suffix;
}

}  // namespace

UnitFrontEnd StationObserver::UnitStarting(std::size_t, unsigned) { return {}; }
void StationObserver::UnitNote(std::size_t, unsigned, const std::string& text) { Note(text); }
void StationObserver::UnitEnded(std::size_t, unsigned, const UnitEnding&) {}
std::string StationObserver::ConfirmPrompt() const {
  return "over the air: press Enter to start the upgrade (or run with --yes)";
}

struct StationModel::Impl {
  struct Slot {
    explicit Slot(std::string port) : state(std::move(port)) {}
    StationSlot state;                      // what it shows, and its phase
    std::unique_ptr<UnitSession> unit;  // the unit being upgraded, or the last one
    unsigned unit_number = 0;
    std::string mark;                       // plug: the device the last unit was on
    std::optional<Clock::time_point> seen;  // plug: a device seen that may not be opened yet
    std::string device;                     // where the unit's port text led when it started
    bool shared_noted = false;              // told that another slot holds its device
    bool taken = false;                     // single run: its one unit has started
    bool adopt_present = false;             // plug: leaving a board found there at the start
  };

  Impl(StationSettings s, StationObserver& o, std::function<void()> w)
      : settings(std::move(s)),
        observer(o),
        wake(std::move(w)),
        confirmations(settings.yes, o.ConfirmPrompt()),
        guard(settings.start_guard) {}
  // The units' workers and the plug watch's thread are joined here, first,
  // so that none outlives a member it may reach.
  ~Impl() {
    for (Slot& slot : slots) slot.unit.reset();
    watcher.reset();
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  bool Plug() const { return settings.next == NextUnit::Plug && !settings.single_run; }
  bool Scan() const { return settings.next == NextUnit::Scan && !settings.single_run; }
  // What a waiting slot waits for: a single run's is shown as Enter.
  NextUnit WaitingFor() const { return Plug() ? NextUnit::Plug : Scan() ? NextUnit::Scan : NextUnit::Enter; }
  bool MayStart() const {
    if (settings.on_request) return true;  // the front end says when
    if (settings.single_run) return std::any_of(slots.begin(), slots.end(), [](const Slot& s) { return !s.taken; });
    return !settings.units || started < *settings.units;
  }
  bool Interrupted() const {
    if (!settings.single_run) return stopped;
    return std::any_of(slots.begin(), slots.end(),
                       [](const Slot& s) { return s.unit && s.unit->Outcome() == UpgradeOutcome::Cancelled; });
  }
  std::vector<UnitSession*> Running();
  void Changed(std::size_t i, SlotEvent event) {
    observer.SlotChanged(i, slots[i].state.Shown(), event);
    live.SlotChanged(i, slots[i].state.Shown(), slots[i].unit.get(), slots[i].unit_number);
  }

  void TakeEndings();
  void ShowProgress(const std::vector<UnitSession*>& awaiting);
  void LookAtSlots(bool enter);
  void TakeScans(const std::vector<std::string>& typed, bool confirmed);
  void DropScansWhileHeld(const std::vector<std::string>& typed);
  void CheckRepeat(std::size_t i);
  bool DeviceHeldByAnotherSlot(std::size_t i, const std::string& device);
  bool StartUnit(std::size_t i, std::string mark, std::optional<std::string> serial = std::nullopt);
  void TakeUnitEnding(std::size_t i, UpgradeOutcome outcome);
  void ShowWaiting(std::size_t i, const std::string& after, bool tell);
  void StopAll();
  void Finish(bool interrupted);
  bool LeavesFirst(const std::string& port) const;

  StationSettings settings;
  StationObserver& observer;
  std::function<void()> wake;
  std::unique_ptr<PlugWatcher> watcher;
  UnitRecords records;
  LivePublishing live;  // the line's view of this station, with a records database
  Confirmations confirmations;
  StartGuard guard;   // presses of the start key, by slot
  bool held = false;  // Hold: nothing starts
  StationTally tally;
  std::string run_id;
  unsigned started = 0;
  std::map<unsigned, int> failures;  // unit number to exit status
  bool opened = false;
  bool stopped = false;
  bool done = false;
  bool finished = false;
  bool busy = false;
  bool input_ended = false;       // InputEnded was called
  bool input_seen_closed = false;  // a pass has taken the input's end
  bool input_end_said = false;
  std::vector<Slot> slots;
};

std::vector<UnitSession*> StationModel::Impl::Running() {
  std::vector<UnitSession*> running;
  for (auto& slot : slots) {
    if (slot.state.Phase() == SlotPhase::Upgrading) running.push_back(slot.unit.get());
  }
  return running;
}

// `after`: the last unit's result, which the slot keeps beside the wait when
// no plug takes the unit away. `tell`: SlotChanged (not at the start, where
// the front end draws every slot after Open).
void StationModel::Impl::ShowWaiting(std::size_t i, const std::string& after, bool tell) {
  Slot& slot = slots[i];
  slot.seen.reset();
  slot.state.Wait(WaitingFor(), after, Clock::now());
  if (tell) Changed(i, SlotEvent::Waiting);
}

// Two port texts may come to lead to one device after the start (a link made
// later): while one slot's unit is on it, the other takes nothing there and
// says why once, rather than failing a unit as "busy".
bool StationModel::Impl::DeviceHeldByAnotherSlot(std::size_t i, const std::string& device) {
  Slot& slot = slots[i];
  for (const Slot& other : slots) {
    if (&other == &slot || device.empty() || other.device != device || other.state.Phase() == SlotPhase::Waiting) {
      continue;
    }
    if (!slot.shared_noted) {
      const std::string& port = settings.names.port;
      observer.Note(port + " " + other.state.Port() + " and " + port + " " + slot.state.Port() +
                    " name the same device " + device + ": only one slot takes a unit there");
      slot.shared_noted = true;
    }
    return true;
  }
  return false;
}

// False: another slot's unit holds the device, and this one takes nothing.
bool StationModel::Impl::StartUnit(std::size_t i, std::string mark, std::optional<std::string> serial) {
  Slot& slot = slots[i];
  std::string device = DeviceForPort(slot.state.Port());
  if (!settings.single_run && DeviceHeldByAnotherSlot(i, device)) return false;
  slot.device = std::move(device);
  slot.shared_noted = false;
  slot.taken = true;
  const unsigned number = slot.unit_number = ++started;
  slot.mark = std::move(mark);
  // The last unit's session goes (its worker long ended) before the next one's opens the port.
  slot.unit.reset();
  slot.unit = std::make_unique<UnitSession>(
      settings, slot.state.Port(), observer.UnitStarting(i, number), wake,
      [this, i, number](const std::string& text) { observer.UnitNote(i, number, text); },
      [this, i, number](const UnitEnding& e) { observer.UnitEnded(i, number, e); }, serial);
  slot.state.Begin(number, std::move(serial));
  guard.Started(i, Clock::now());
  Changed(i, SlotEvent::Started);
  tally.Began(Clock::now());
  slot.unit->Start(settings);
  return true;
}

// Once the unit's image is taken, its serial number is looked up: a board
// that already had "Upgrade OK" with this image is upgraded again (a rework,
// a label scanned twice), but flagged on the slot and in its record.
void StationModel::Impl::CheckRepeat(std::size_t i) {
  Slot& slot = slots[i];
  UnitSession& unit = *slot.unit;
  if (!unit.SerialNumber() || unit.Repeat()) return;
  const auto image = unit.Sinks().FirmwareImage();
  if (!image || !image->sha256) return;
  unit.SetRepeat(records.UpgradedBefore(*unit.SerialNumber(), *image->sha256));
  if (!*unit.Repeat()) return;
  slot.state.MarkRepeat();
  Changed(i, SlotEvent::Repeat);
}

void StationModel::Impl::TakeUnitEnding(std::size_t i, UpgradeOutcome outcome) {
  Slot& slot = slots[i];
  UnitSession& unit = *slot.unit;
  if (!unit.Outcome()) unit.TakeEnding(outcome);  // StopAll took an interrupt's
  CheckRepeat(i);
  if (unit.SerialNumber() && !unit.Repeat()) unit.SetRepeat(false);  // no image taken: nothing to repeat
  records.Write(unit, settings.single_run ? std::nullopt : std::optional<unsigned>(slot.unit_number));
  const std::string result = unit.ResultText();
  const bool ok = unit.Outcome() == UpgradeOutcome::Ok;
  tally.Ended(slot.state.Port(), ok, result, unit.Seconds());
  if (unit.ExitCode() != 0) failures.emplace(slot.unit_number, unit.ExitCode());
  // The last frames may have gone since the last pass; stopped or a single
  // run, nothing follows.
  slot.state.End(ok, result, unit.Sinks().Percent(), stopped || settings.single_run);
  Changed(i, SlotEvent::Ended);
  if (!stopped && !settings.single_run) {
    // Success or failure, a plugged unit must go before the next is taken: a
    // board that stays is never flashed twice, and a failed one is re-plugged
    // to be tried again.
    if (Plug()) {
      slot.state.Leave(result);
      Changed(i, SlotEvent::Leaving);
    } else {
      ShowWaiting(i, result, true);
    }
  }
  const StationTotals totals = tally.Totals(Clock::now());
  observer.TotalsChanged(totals);
  live.RunChanged(totals, slot.unit.get());
}

void StationModel::Impl::TakeEndings() {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].state.Phase() != SlotPhase::Upgrading) continue;
    CheckRepeat(i);
    if (const auto outcome = slots[i].unit->Sinks().Ended()) TakeUnitEnding(i, *outcome);
  }
}

// The running units' status texts, progress and confirmations, as their
// workers left them, told when they changed.
void StationModel::Impl::ShowProgress(const std::vector<UnitSession*>& awaiting) {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    Slot& slot = slots[i];
    if (slot.state.Phase() != SlotPhase::Upgrading) continue;
    const bool confirm = std::find(awaiting.begin(), awaiting.end(), slot.unit.get()) != awaiting.end();
    if (slot.state.Progress(slot.unit->Sinks().LastStatus(), slot.unit->Sinks().Percent(), confirm)) {
      Changed(i, SlotEvent::Progress);
    }
  }
}

// Each scan goes where MatchScan sends it, against the slots waiting at that
// moment (the line before may have started one). An empty line that
// confirmed a unit over the air (`confirmed`) was an Enter, not a scan.
void StationModel::Impl::TakeScans(const std::vector<std::string>& typed, bool confirmed) {
  for (const std::string& line : typed) {
    if (confirmed && IsEnter(line)) continue;
    std::vector<WaitingSlot> waiting;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const StationSlot& state = slots[i].state;
      if (state.Phase() == SlotPhase::Waiting) waiting.push_back({i, state.WaitingSince(), state.Port()});
    }
    const ScanMatch match = MatchScan(line, std::move(waiting), MayStart(), settings.names.port);
    if (!match.note.empty()) observer.Note(match.note);
    for (std::size_t i : match.slots) {
      if (StartUnit(i, "", match.serial)) break;
    }
  }
}

void StationModel::Impl::DropScansWhileHeld(const std::vector<std::string>& typed) {
  if (!Scan()) return;
  for (const std::string& line : typed) {
    if (const auto note = HeldScanNote(line)) observer.Note(*note);
  }
}

void StationModel::Impl::LookAtSlots(bool enter) {
  const auto now = Clock::now();
  if (settings.single_run) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!slots[i].taken && !settings.on_request) StartUnit(i, "");
    }
    return;
  }
  if (Plug()) watcher->NewPass();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    Slot& slot = slots[i];
    if (slot.state.Phase() == SlotPhase::Upgrading) continue;
    if (!Plug()) {
      // Without plugs a slot never waits for its unit to leave; scans are taken by TakeScans.
      if (enter && MayStart() && !Scan() && guard.Allows(i, now)) StartUnit(i, "");
      continue;
    }
    if (slot.state.Phase() == SlotPhase::Waiting && !MayStart()) continue;
    // One look serves both: the last unit gone, and the next already there.
    const auto look = watcher->Look(i);
    if (slot.state.Phase() == SlotPhase::Leaving) {
      // A board upgraded before the station opened is known by its first look.
      if (std::exchange(slot.adopt_present, false) && look) slot.mark = look->mark;
      if (look && look->mark == slot.mark) continue;
      ShowWaiting(i, "", true);
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
    StartUnit(i, look->mark);
  }
}

void StationModel::Impl::StopAll() {
  if (!opened || stopped) return;
  TakeEndings();
  if (done && Running().empty()) return;  // ended by itself: nothing to stop
  stopped = true;
  done = true;
  const auto running = Running();
  UnitSession::StopAll(running);
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i].state.Phase() == SlotPhase::Upgrading) TakeUnitEnding(i, *slots[i].unit->Outcome());
  }
  records.SetBusy(false);
}

// Whether the slot's board was upgraded just before the station opened: the
// same port text, or one that leads to the same device.
bool StationModel::Impl::LeavesFirst(const std::string& port) const {
  const std::string device = DeviceForPort(port);
  for (const auto& left : settings.leaving_ports) {
    if (left == port || (!device.empty() && DeviceForPort(left) == device)) return true;
  }
  return false;
}

// The live state's end goes out while the records' forwarder ends, and
// waits no longer than the forwarder may: the run still ends within 2 s of
// its last unit whatever the database does.
void StationModel::Impl::Finish(bool interrupted) {
  if (finished) return;
  finished = true;
  const auto deadline = Clock::now() + kEndSendLimit + records::RecordForwarder::kStopLimit;
  live.Ending();
  records.Finish(interrupted);
  live.Stop(deadline);
  if (const auto news = live.News()) observer.Note(*news);
}

StationModel::StationModel(StationSettings settings, StationObserver& observer, std::function<void()> wake)
    : impl_(std::make_unique<Impl>(std::move(settings), observer, std::move(wake))) {}

StationModel::~StationModel() {
  Stop();
  impl_->Finish(true);
}

int StationModel::Open(std::string* why) {
  Impl& m = *impl_;
  const StationSettings& s = m.settings;
  if (s.ports.empty()) {
    *why = "no port given";
    return static_cast<int>(ExitCode::Usage);
  }
  if (!PortsNameDistinctDevices(s.ports, s.names.port, why)) return static_cast<int>(ExitCode::Usage);
  if (m.Plug()) {
    for (const auto& port : s.ports) {
      if (!PlugWatcher::Watchable(port)) {
        *why = s.names.port + " " + port + ": no unit can be plugged there (give a COM number or a device path, or use " +
               s.names.next_enter + ")";
        return static_cast<int>(ExitCode::Usage);
      }
    }
  }
  // A single run starts its units at the first pass: the forwarder yields
  // from its first batch on.
  m.records.SetBusy(s.single_run);
  if (const int code = m.records.Open(s, m.Scan(), why); code != 0) return code;
  if (!s.single_run) {
    m.run_id = NewRunId();
    m.records.SetStationRun(m.run_id);
  }
  if (m.Plug()) m.watcher = std::make_unique<PlugWatcher>(s.ports, m.wake);
  m.slots.reserve(s.ports.size());
  for (std::size_t i = 0; i < s.ports.size(); ++i) {
    m.slots.emplace_back(s.ports[i]);
    m.ShowWaiting(i, "", false);
    if (m.Plug() && m.LeavesFirst(s.ports[i])) {
      m.slots[i].state.LeaveFirst();
      m.slots[i].adopt_present = true;
    }
  }
  std::vector<SlotSnapshot> shown;
  for (const auto& slot : m.slots) shown.push_back(slot.state.Shown());
  m.live.Start(s, m.run_id, shown);
  m.opened = true;
  return 0;
}

void StationModel::Pass(const std::vector<std::string>& typed) {
  Impl& m = *impl_;
  if (!m.opened || m.done) return;
  m.TakeEndings();
  const auto running = m.Running();
  const bool idle = running.empty();
  if ((idle && !m.MayStart()) || (idle && !m.settings.single_run && !m.Plug() && m.input_seen_closed)) {
    m.done = true;
    m.busy = false;
    m.records.SetBusy(false);
    if (const auto line = m.records.Unwritten()) m.observer.RecordsLine(*line);
    return;
  }
  const auto waiting = m.confirmations.PromptWaiting(running);
  const bool confirming = !m.confirmations.Yes() && !waiting.empty();
  const bool reading = WantsInput();
  const std::vector<std::string> none;
  const std::vector<std::string>& input = reading ? typed : none;
  // The input's end is said once, when it matters: without plugs no unit
  // starts any more, with them a unit waiting over the air stays unconfirmed.
  bool say_end = false;
  const bool units_start_on_keys = !m.Plug() && !m.settings.single_run;
  if (reading && m.input_ended) {
    m.input_seen_closed = true;
    if ((units_start_on_keys || confirming) && !m.input_end_said) say_end = m.input_end_said = true;
  }
  const std::string& yes = m.settings.names.yes;
  const std::string end_text =
      units_start_on_keys ? "standard input is closed: no more units will start"
                          : "standard input is closed: the module keeps being polled until Ctrl-C" +
                                (yes.empty() ? std::string() : " (use " + yes + ")");
  // A single run tells it on the unit that waits, after its confirmation.
  if (say_end && !m.settings.single_run) m.observer.Note(end_text);
  // A scan is no Enter: only an empty line confirms over the air then.
  // While held a press is dropped and a scan dropped with a note.
  const bool enter = !m.held && PressesStart(input, m.Scan());
  m.confirmations.Apply(waiting, enter);
  if (say_end && m.settings.single_run) waiting.front()->Note(end_text);
  const unsigned started_before = m.started;
  if (m.held) {
    m.DropScansWhileHeld(input);
  } else {
    m.LookAtSlots(enter);
    if (m.Scan()) m.TakeScans(input, enter && confirming);
  }
  std::vector<UnitSession*> awaiting;
  if (confirming && !enter) awaiting = waiting;
  m.ShowProgress(awaiting);
  if (const auto news = m.records.News()) m.observer.RecordsLine(*news);
  if (const auto news = m.live.News()) m.observer.Note(*news);
  // Units run when some ran at the pass's start or one started just now.
  m.busy = !idle || m.started != started_before;
  // The records' forwarder yields while an upgrade streams; an upgrade
  // that ended since this pass's look is counted out at the next pass.
  m.records.SetBusy(!m.Running().empty());
}

void StationModel::InputEnded() { impl_->input_ended = true; }

bool StationModel::WantsInput() const {
  const Impl& m = *impl_;
  return !(m.settings.yes && (m.Plug() || m.settings.single_run));
}

std::chrono::milliseconds StationModel::NextPassIn() const { return impl_->busy ? kBusyStep : kIdleStep; }

bool StationModel::Done() const { return impl_->done; }

std::size_t StationModel::UnitsRunning() const { return impl_->Running().size(); }

void StationModel::Hold(bool held) { impl_->held = held; }

bool StationModel::Held() const { return impl_->held; }

void StationModel::Stop() { impl_->StopAll(); }

void StationModel::Finish() { impl_->Finish(impl_->Interrupted()); }

int StationModel::ExitStatus() const {
  const Impl& m = *impl_;
  if (m.Interrupted() || m.records.Interrupted()) return static_cast<int>(ExitCode::Interrupted);
  if (!m.failures.empty()) return m.failures.begin()->second;
  if (m.records.Failed()) return static_cast<int>(ExitCode::Report);
  if (!m.records.Left().read) return static_cast<int>(ExitCode::Report);
  if (m.records.Left().waiting > 0) return static_cast<int>(ExitCode::RecordsWaiting);
  if (m.records.Left().refused > 0) return static_cast<int>(ExitCode::RecordsRefused);
  return 0;
}

std::uint64_t StationModel::RecordsWaiting() const { return impl_->records.Waiting(); }
const records::WaitingCount& StationModel::RecordsLeft() const { return impl_->records.Left(); }
const std::string& StationModel::Journal() const { return impl_->records.Journal(); }

bool StationModel::StartAgain(const UnitOrder& order, std::string* why) {
  Impl& m = *impl_;
  why->clear();
  if (!m.opened || m.stopped || !m.settings.on_request || m.slots.size() != 1) return false;
  Impl::Slot& slot = m.slots[0];
  if (slot.state.Phase() == SlotPhase::Upgrading) return false;
  if (const auto refused = m.records.FirmwareRefused(order.firmware)) {
    *why = *refused;
    return false;
  }
  m.settings.ports[0] = order.port;
  m.settings.type_text = order.type_text;
  m.settings.firmware = order.firmware;
  m.settings.pacing = order.pacing;
  m.records.SetFirmware(order.firmware);
  m.live.SetFirmware(order.firmware);
  slot.state.SetPort(order.port);
  m.done = false;
  return m.StartUnit(0, "");
}

UpgradeController* StationModel::UnitController(std::size_t slot) const {
  const auto& unit = impl_->slots.at(slot).unit;
  return unit ? &unit->Controller() : nullptr;
}

StationTotals StationModel::Totals() const { return impl_->tally.Totals(Clock::now()); }
std::pair<unsigned, unsigned> StationModel::PortCounts(const std::string& port) const {
  return impl_->tally.PortCounts(port);
}
std::size_t StationModel::Slots() const { return impl_->slots.size(); }
const SlotSnapshot& StationModel::Slot(std::size_t i) const { return impl_->slots.at(i).state.Shown(); }
const std::string& StationModel::RunId() const { return impl_->run_id; }
const StationSettings& StationModel::Settings() const { return impl_->settings; }

}  // namespace zevuvuri::station
