#include "ui/station_session.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "engine/text_encoding.h"
#include "ui/station_header.h"
#include "ui/station_settings.h"

namespace zevuvuri::ui {
namespace {

// A station file that cannot run ends the window as a bad command line ends
// the command line's station.
constexpr int kUnusableSettings = 2;
// A journal that cannot be opened, as the command line's station ends.
constexpr int kJournalUnusable = 11;

// An idle session without a model has nothing to look at; the toolkit's timer
// still fires now and then rather than never.
constexpr auto kIdleTick = std::chrono::milliseconds{1000};

}  // namespace

// The workers' wake-ups come from their own threads; Finish() shuts the gate
// before the toolkit goes, so a late one reaches nothing.
struct StationSession::WakeGate {
  std::mutex mutex;
  StationToolkit* toolkit = nullptr;
};

station::SettingNames WindowSettingNames() { return station::SettingsFileNames(": no unit starts"); }

StationRow RowOf(const station::SlotSnapshot& slot, station::NextUnit next, unsigned units_ok,
                 unsigned units_failed) {
  StationRow row;
  row.units_ok = units_ok;
  row.units_failed = units_failed;
  row.port = FromUtf8(slot.port);
  if (slot.unit) row.unit = L"#" + std::to_wstring(*slot.unit);
  row.state = FromUtf8(slot.text);
  row.percent = slot.percent;
  row.awaiting_confirm = slot.awaiting_confirm;
  // The slot says what it waits for, in the window's words: the start
  // button (or its keys), or an Enter in the scan field.
  if (slot.awaiting_confirm) {
    row.state += next == station::NextUnit::Scan ? L", waiting for Enter" : L", waiting for Start";
  }
  if (slot.serial) row.serial = FromUtf8(*slot.serial) + (slot.repeat ? L" (repeat)" : L"");

  // The big field shows the result of the last unit until the next one
  // starts. With Enter and scans the fixture keeps the unit, and its result
  // shows in full; a plugged unit that has left leaves its result dimmed, so
  // that a board pulled mid-upgrade still says why it failed.
  const bool unit_gone = next == station::NextUnit::Plug && slot.phase == station::SlotPhase::Waiting;
  if (slot.phase == station::SlotPhase::Upgrading) {
    row.result = RowResult::Running;
    row.result_text = L"upgrading";
  } else if (slot.result == station::ResultKind::None) {
    row.result = RowResult::Waiting;
    row.result_text = L"waiting";
  } else if (slot.result == station::ResultKind::Ok) {
    row.result = RowResult::Ok;
    row.result_text = L"OK";
    row.dimmed = unit_gone;
    // The model's bar is the running unit's; an OK unit had all of it.
    if (!unit_gone) row.percent = 100;
  } else {
    row.dimmed = unit_gone;
    row.result = RowResult::Failed;
    row.result_text = FromUtf8(slot.result_text.empty() ? std::string("failed") : slot.result_text);
  }
  return row;
}

StationSession::StationSession(StationToolkit& toolkit, const SettingsFile& file)
    : toolkit_(toolkit), gate_(std::make_shared<WakeGate>()) {
  gate_->toolkit = &toolkit_;
  std::string problem;
  auto settings = ReadStationSettings(file, &problem);
  if (!settings) {
    problem_ = FromUtf8(problem);
    exit_status_ = kUnusableSettings;
    return;
  }
  Open(std::move(*settings));
}

StationSession::StationSession(StationToolkit& toolkit, station::StationSettings settings)
    : toolkit_(toolkit), gate_(std::make_shared<WakeGate>()) {
  gate_->toolkit = &toolkit_;
  Open(std::move(settings));
}

// The model goes first, while every member it may still tell is alive.
StationSession::~StationSession() {
  Finish();
  model_.reset();
}

void StationSession::Open(station::StationSettings settings) {
  next_ = settings.next;
  yes_ = settings.yes;
  settings.start_guard = kStartGuard;
  rows_.resize(settings.ports.size());
  for (std::size_t i = 0; i < rows_.size(); ++i) rows_[i].port = FromUtf8(settings.ports[i]);
  // Settings read from loader.cfg or the main window come with its words;
  // bare ones (the command line's defaults) are given them, so that the view
  // never speaks of an option.
  if (settings.names.port != WindowSettingNames().port) settings.names = WindowSettingNames();
  header_ = HeaderLine(HeaderFactsOf(settings));
  std::weak_ptr<WakeGate> gate = gate_;
  auto wake = [gate] {
    if (const auto open = gate.lock()) {
      const std::lock_guard lock(open->mutex);
      if (open->toolkit != nullptr) open->toolkit->WakeUp();
    }
  };
  station::StationObserver& observer = *this;
  // The journal opens before the view appears: a FIFO without a reader is
  // waited for only so long, and the closing view cuts its later waits.
  settings.interrupt = journal_limit_.Check();
  const std::string journal = settings.report.value_or("");
  model_ = std::make_unique<station::StationModel>(std::move(settings), observer, std::move(wake));
  std::string why;
  const int code = model_->Open(&why);
  journal_limit_.Opened();
  if (code != 0) {
    problem_ = FromUtf8(why);
    exit_status_ = code;
    if (journal_limit_.Expired()) {
      problem_ = FromUtf8(JournalOpenLimit::NobodyReads(journal) + ": no unit starts");
      exit_status_ = kJournalUnusable;
    }
    model_.reset();
    return;
  }
  rows_.resize(model_->Slots());
  for (std::size_t i = 0; i < model_->Slots(); ++i) rows_[i] = RowOf(model_->Slot(i), next_);
  totals_ = FromUtf8(station::StationTally::TotalsLine(model_->Totals()));
}

void StationSession::Pass(std::vector<std::string> typed) {
  if (!model_ || stopped_) return;
  ++passes_;
  model_->Pass(typed);
  if (changed_) {
    changed_ = false;
    toolkit_.RowsChanged();
  }
  if (model_->Done()) toolkit_.CloseWindow();
}

void StationSession::Tick() { Pass({}); }

std::chrono::milliseconds StationSession::NextTickIn() const {
  return model_ && !stopped_ ? model_->NextPassIn() : kIdleTick;
}

// The model takes what the operator typed as lines; an empty one is an Enter.
void StationSession::PressStart() { Pass({std::string()}); }

void StationSession::Scan(const std::wstring& label) {
  // A label with no UTF-8 form (a lone surrogate) still counts as a scan, so
  // the model refuses it in its words rather than the view dropping it.
  Pass({ToUtf8(label).value_or(std::string("\xEF\xBF\xBD"))});
}

bool StationSession::StartButtonUsed() const {
  return next_ == station::NextUnit::Enter || (next_ == station::NextUnit::Plug && !yes_);
}
bool StationSession::ScanFieldUsed() const { return next_ == station::NextUnit::Scan; }

bool StationSession::StartEnabled() const {
  if (!model_ || stopped_ || !StartButtonUsed()) return false;
  if (next_ != station::NextUnit::Plug) return true;
  return std::any_of(rows_.begin(), rows_.end(), [](const StationRow& row) { return row.awaiting_confirm; });
}

void StationSession::Hold(bool held) {
  if (!model_ || stopped_ || model_->Held() == held) return;
  model_->Hold(held);
  // Released: what waited meanwhile (a plugged unit) starts now, not at the
  // next timer.
  if (!held) Tick();
}

std::string StationSession::ConfirmPrompt() const {
  if (next_ == station::NextUnit::Scan) return "over the air: press Enter with the scan field empty to start the upgrade";
  return "over the air: press Enter, Space or \"Start waiting slots\" to start the upgrade";
}

std::size_t StationSession::UnitsRunning() const { return model_ && !stopped_ ? model_->UnitsRunning() : 0; }

std::wstring StationSession::CloseQuestion() const {
  const std::size_t running = UnitsRunning();
  if (running == 0) return {};
  // The same words whatever the number, so that a line's scripts and
  // screen readers meet one text.
  return std::to_wstring(running) + L" units are being upgraded. Stop them?";
}

void StationSession::Stop() {
  if (!model_ || stopped_) return;
  stopped_ = true;
  // Nothing running, nothing to interrupt: the shift ends as it stands (its
  // exit status the first failed unit's), not as a stopped one.
  if (model_->UnitsRunning() == 0) return;
  // Records of units cut short go out at once, even into a pipe whose
  // reader takes no more.
  journal_limit_.Closing();
  ++passes_;
  model_->Stop();
  changed_ = false;
  toolkit_.RowsChanged();
}

void StationSession::Interrupt() {
  if (!model_ || ended_) return;
  stopped_ = true;
  journal_limit_.Closing();
  model_->Stop();
  changed_ = false;
  toolkit_.RowsChanged();
}

int StationSession::Finish() {
  if (!ended_) {
    ended_ = true;
    Stop();
    {
      const std::lock_guard lock(gate_->mutex);
      gate_->toolkit = nullptr;
    }
    if (model_) {
      model_->Finish();
      exit_status_ = model_->ExitStatus();
    }
  }
  return exit_status_;
}

void StationSession::SlotChanged(std::size_t slot, const station::SlotSnapshot& now, station::SlotEvent event) {
  if (slot >= rows_.size()) rows_.resize(slot + 1);
  const auto [units, ok] = model_ ? model_->PortCounts(now.port) : std::pair<unsigned, unsigned>{0, 0};
  rows_[slot] = RowOf(now, next_, ok, units - ok);
  changed_ = true;
  if (note_.empty()) return;
  // A unit that starts makes the station's note and its slot's last unit's
  // note old news; a unit whose data flows no longer waits to be confirmed.
  if (event == station::SlotEvent::Started && (!note_unit_ || note_slot_ == slot)) {
    ClearNote();
  } else if (event == station::SlotEvent::Progress && note_unit_ && now.unit == note_unit_ && note_before_data_ &&
             now.percent >= 0) {
    ClearNote();
  }
}

void StationSession::Note(const std::string& text) {
  note_ = FromUtf8(text);
  note_unit_.reset();
  note_pass_ = passes_;
  note_before_data_ = false;
  changed_ = true;
}

void StationSession::UnitNote(std::size_t slot, unsigned unit, const std::string& text) {
  note_ = FromUtf8(text);
  note_unit_ = unit;
  note_slot_ = slot;
  note_pass_ = passes_;
  note_before_data_ = model_ && slot < model_->Slots() && model_->Slot(slot).percent < 0;
  changed_ = true;
}

// The notes of the ending itself (why the port did not open, interrupted)
// come in the ending's pass and stay; one from an earlier pass was about the
// unit while it ran.
void StationSession::UnitEnded(std::size_t, unsigned unit, const station::UnitEnding&) {
  if (note_unit_ == unit && note_pass_ < passes_) ClearNote();
}

void StationSession::ClearNote() {
  note_.clear();
  note_unit_.reset();
  note_before_data_ = false;
  changed_ = true;
}

void StationSession::RecordsLine(const std::string& text) {
  records_ = FromUtf8(text);
  changed_ = true;
}

void StationSession::TotalsChanged(const station::StationTotals& totals) {
  totals_ = FromUtf8(station::StationTally::TotalsLine(totals));
  changed_ = true;
}

}  // namespace zevuvuri::ui
