#include "ui/window_session.h"

#include <mutex>
#include <thread>
#include <utility>

#include "engine/port_diagnosis.h"
#include "engine/status_texts.h"
#include "engine/text_encoding.h"
#include "station/exit_codes.h"
#include "station/settings_completion.h"

namespace zevuvuri::ui {
namespace {

// A press waits this long for the last upgrade's worker to make its last
// calls to the window, as the upgrade's own Start waits for them.
constexpr auto kLastWorkerLimit = std::chrono::seconds{2};

// The unit's sinks as the station gives them to the front end: every call
// on to the session's carrying over to the window thread, which outlives
// every unit.
class SinksOnTo final : public UpgradeSinks {
 public:
  explicit SinksOnTo(UpgradeSinks& to) : to_(to) {}
  void SetStatus(std::string_view text) override { to_.SetStatus(text); }
  void SetButtonCaption(std::string_view text) override { to_.SetButtonCaption(text); }
  void EnableButton(bool enabled) override { to_.EnableButton(enabled); }
  void SetProgressRange(std::uint16_t maximum) override { to_.SetProgressRange(maximum); }
  void SetProgressPosition(std::uint32_t position) override { to_.SetProgressPosition(position); }
  void EndProcess() override { to_.EndProcess(); }
  void UnblockPreviousWorker() override { to_.UnblockPreviousWorker(); }
  void LinkModeLearned(LinkMode mode) override { to_.LinkModeLearned(mode); }
  void PollAcknowledged() override { to_.PollAcknowledged(); }
  void FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) override {
    to_.FirmwareImageTaken(size, sha256);
  }
  void DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) override {
    to_.DataProgress(bytes_sent, file_size);
  }
  void FirmwareSent(std::span<const std::uint8_t> bytes) override { to_.FirmwareSent(bytes); }
  void UpgradeEnded(UpgradeOutcome outcome) override { to_.UpgradeEnded(outcome); }

 private:
  UpgradeSinks& to_;
};

std::optional<std::string> Given(std::string value) {
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace

// The workers' wake-ups after an ending come from their own threads; Finish()
// shuts the gate before the toolkit may go.
struct WindowSession::WakeGate {
  std::mutex mutex;
  WindowToolkit* toolkit = nullptr;
  std::atomic<bool> pass_due{false};
};

WindowSession::WindowSession(WindowToolkit& toolkit, ControlSurface& controls, FileDialog& file_dialog,
                             AboutBoxOpener& about_box, SettingsFile settings)
    : toolkit_(toolkit),
      sinks_(toolkit, *this),
      dialog_(controls, file_dialog, about_box, *this, settings),
      gate_(std::make_shared<WakeGate>()) {
  gate_->toolkit = &toolkit_;
  OpenRecords(settings);
}

WindowSession::~WindowSession() {
  Finish();
  model_.reset();
}

// The records' settings completed as every front end completes them, and
// the journal opened (waiting at most kJournalOpenLimit for a FIFO's
// reader) with its forwarder, before the window appears; each press then
// starts the one slot's next unit with the fields' values.
void WindowSession::OpenRecords(const SettingsFile& settings) {
  station::StationSettings s;
  s.ports = {"1"};  // each press gives its own
  s.single_run = true;
  s.on_request = true;
  s.report = Given(settings.Read(setting::kReport));
  s.records_db = Given(settings.Read(setting::kRecordsDb));
  s.station_name = settings.Read(setting::kStationName);
  s.firmware_sha256 = Given(settings.Read(setting::kFirmwareSha256));
  s.names = station::SettingsFileNames(": no upgrade starts");
  s.interrupt = journal_limit_.Check();
  station::Completion how;
  how.names = s.names;
  if (const auto problem = station::CompleteSettings(s, how)) {
    problem_ = *problem;
    journal_limit_.Opened();
    return;
  }
  forwards_ = s.records_db.has_value();
  const std::string journal = s.report.value_or("");
  std::weak_ptr<WakeGate> gate = gate_;
  auto wake = [gate] {
    if (const auto open = gate.lock()) {
      open->pass_due.store(true);
      const std::lock_guard lock(open->mutex);
      if (open->toolkit != nullptr) open->toolkit->PostWakeUp();
    }
  };
  station::StationObserver& observer = *this;
  model_ = std::make_unique<station::StationModel>(std::move(s), observer, std::move(wake));
  std::string why;
  if (model_->Open(&why) != 0) {
    problem_ = journal_limit_.Expired() ? JournalOpenLimit::NobodyReads(journal) + ": start the reader first" : why;
    model_.reset();
  }
  journal_limit_.Opened();
}

int WindowSession::Finish() {
  if (!ended_) {
    ended_ = true;
    // In this order: a worker waiting for the window thread is let go first,
    // so that joining it cannot wait forever.
    sinks_.StopForwarding();
    {
      const std::lock_guard lock(gate_->mutex);
      gate_->toolkit = nullptr;
    }
    if (model_) {
      // An ending that has not reached a pass yet is taken as it came.
      model_->Pass({});
      // A unit cut short: its record goes out at once, even into a pipe
      // whose reader takes no more.
      if (model_->UnitsRunning() > 0) journal_limit_.Closing();
      // Shuts the upgrade down (the worker joined, the port released) and
      // records it as ended by the window, or "Upgrade OK" once its trailer
      // had gone out; then the forwarder gets its moment.
      model_->Stop();
      model_->Finish();
    }
  }
  return ExitStatus();
}

int WindowSession::EndBySession() {
  if (!ended_ && UpgradeInProgress()) interrupted_by_session_ = true;
  return Finish();
}

// An upgrade that ended "Upgrade OK" counts however the window closed: also
// when it closed while the over-the-air trailer and its pause ran, once the
// trailer had gone out (the controller's outcome says so after Stop).
int WindowSession::ExitStatus() const {
  if (interrupted_by_session_) return static_cast<int>(station::ExitCode::Interrupted);
  if (ended_by_upgrade_ || !dialog_.ProductionMode()) return 0;
  const UpgradeController* c = Controller();
  return ended_ && started_ && c != nullptr && c->LastOutcome() == UpgradeOutcome::Ok ? 0 : 1;
}

UpgradeController* WindowSession::Controller() const { return model_ ? model_->UnitController(0) : nullptr; }

bool WindowSession::UpgradeInProgress() const {
  const UpgradeController* c = Controller();
  return c != nullptr && c->UpgradeInProgress();
}

bool WindowSession::WorkerThreadAlive() const {
  const UpgradeController* c = Controller();
  return c != nullptr && c->WorkerThreadAlive();
}

void WindowSession::RunQueuedCalls() {
  sinks_.RunQueuedCalls();
  if (gate_->pass_due.exchange(false)) TakeEnding();
}

void WindowSession::TakeEnding() {
  if (model_ && !ended_) model_->Pass({});
}

void WindowSession::SetProductionFlag(bool on) { production_ = on; }

void WindowSession::SetPacing(Pacing pacing) { pacing_ = pacing; }

bool WindowSession::AwaitLastWorker() {
  const UpgradeController* c = Controller();
  const auto give_up = std::chrono::steady_clock::now() + kLastWorkerLimit;
  while (c != nullptr && c->WorkerThreadAlive()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    sinks_.RunQueuedCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
  return true;
}

void WindowSession::Refuse(std::string_view status, const std::string& why) {
  dialog_.SetStatus(status);
  dialog_.ExplainStatus(FromUtf8(why));
}

void WindowSession::OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                              std::optional<FirmwareName> firmware) {
  // As the upgrade's own Start: a press made inside a sink call would wait
  // for the worker that waits for it.
  if (SinkCallScope::Active() || ended_) return;
  if (UpgradeController* c = Controller()) {
    if (c->State() == UpgradeState::Acquiring) {
      c->Confirm();  // "Click to Start" over the air
      return;
    }
    if (c->UpgradeInProgress() && !c->ReturningButton()) return;
  }
  // The last upgrade's own last calls come first, and its record.
  if (!AwaitLastWorker()) return;
  TakeEnding();
  // A traced line flashes nothing it cannot trace or approve, nor an image
  // that its own records are appended to.
  if (!model_) return Refuse(status::kFileFailure, problem_);
  const auto port = ToUtf8(port_text);
  if (!port) {
    PortOpenError error{.kind = PortFailure::BadPortText, .device = {}, .system_error = 0};
    return Refuse(status::kPortFailure, ExplainOpenFailure("", error));
  }
  if (!firmware) return Refuse(status::kFileFailure, "the file name field names no file that can be opened exactly");
  station::UnitOrder order;
  order.port = *port;
  order.type_text = ToUtf8(type_text).value_or(std::string());
  order.firmware = firmware->Bytes();
  order.pacing = pacing_;
  unit_notes_.clear();
  std::string why;
  if (!model_->StartAgain(order, &why)) {
    if (!why.empty()) Refuse(status::kFileFailure, why);
    return;
  }
  started_ = true;
  last_port_ = *port;
  // Locked after the start: its first calls ran the previous upgrade's last
  // ones, its ending's RestoreFields among them. A start that failed at once
  // has already ended and left nothing in progress.
  if (UpgradeInProgress()) dialog_.LockFields();
  TakeEnding();  // a port that did not open ended it at once
}

void WindowSession::ShowRecordsState() {
  TakeEnding();
  if (records_news_) dialog_.ShowRecordsState(FromUtf8(*std::exchange(records_news_, std::nullopt)));
}

void WindowSession::RecordsLine(const std::string& text) { records_news_ = text; }

station::UnitFrontEnd WindowSession::UnitStarting(std::size_t, unsigned) {
  station::UnitFrontEnd front;
  front.sinks = std::make_unique<SinksOnTo>(sinks_);
  front.set_up = [this](UpgradeController& c) {
    c.SetProductionFlag(production_);
    if (test_set_up_) test_set_up_(c);
  };
  return front;
}

// What the station says about the unit explains the status line in its
// tooltip: why the port did not open, the image that is not the approved
// one, a record that could not be written. The station's prompts for a
// terminal's operator are not this window's: its button says it.
void WindowSession::UnitNote(std::size_t, unsigned, const std::string& text) {
  if (text == "interrupted: port closed" || text.rfind("over the air:", 0) == 0) return;
  if (!unit_notes_.empty()) unit_notes_ += L"\n";
  unit_notes_ += FromUtf8(text);
  dialog_.ExplainStatus(unit_notes_);
}

void WindowSession::SetStatus(std::string_view text) { dialog_.SetStatus(text); }
void WindowSession::SetButtonCaption(std::string_view text) { dialog_.SetButtonCaption(text); }
void WindowSession::EnableButton(bool enabled) { dialog_.EnableButton(enabled); }
void WindowSession::SetProgressRange(std::uint16_t maximum) { dialog_.SetProgressRange(maximum); }
void WindowSession::SetProgressPosition(std::uint32_t position) { dialog_.SetProgressPosition(position); }

// Production mode, after "Upgrade OK": the window closes, and the process
// ends with status 0 once the toolkit's run of the window has returned and
// Finish() has joined the worker. Nothing here waits for the worker, which is
// itself waiting for this call to return.
void WindowSession::EndProcess() {
  ended_by_upgrade_ = true;
  toolkit_.CloseWindow();
}

// The fields come back; the ending's explanation and record follow at the
// next pass, once the worker's call has returned.
void WindowSession::UpgradeEnded(UpgradeOutcome) { dialog_.RestoreFields(); }

}  // namespace zevuvuri::ui
