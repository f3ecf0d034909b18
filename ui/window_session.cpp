#include "ui/window_session.h"

#include <utility>

#include "engine/port_diagnosis.h"
#include "engine/status_texts.h"
#include "engine/text_encoding.h"

namespace zevuvuri::ui {

WindowSession::WindowSession(WindowToolkit& toolkit, ControlSurface& controls, FileDialog& file_dialog,
                             AboutBoxOpener& about_box, SettingsFile settings)
    : toolkit_(toolkit),
      records_(ReadRecordSettings(settings)),
      sinks_(toolkit, *this),
      upgrade_(sinks_),
      dialog_(controls, file_dialog, about_box, *this, std::move(settings)) {
  upgrade_.SetExpectedSha256(records_.ApprovedSha256());
}

WindowSession::~WindowSession() { End(); }

int WindowSession::End() {
  if (!ended_) {
    ended_ = true;
    // In this order: a worker waiting for the window thread is let go first,
    // so that joining it cannot wait forever.
    sinks_.StopForwarding();
    upgrade_.Shutdown();
    // An upgrade the closing window cut short is recorded too, as ended by
    // the window (or "Upgrade OK" once its trailer had gone out); one whose
    // ending had not yet reached the window thread, with its last status.
    const UpgradeOutcome outcome = upgrade_.LastOutcome();
    if (outcome == UpgradeOutcome::Cancelled) records_.Status("interrupted");
    records_.FramesSent(sinks_.DataFramesSent());
    std::string error;
    records_.Ended(outcome, &error);
    records_.Close();
  }
  return ExitStatus();
}

// An upgrade that ended "Upgrade OK" counts however the window closed: also
// when it closed while the over-the-air trailer and its pause ran, once the
// trailer had gone out (the controller's outcome says so after Shutdown).
int WindowSession::ExitStatus() const {
  if (ended_by_upgrade_ || !dialog_.ProductionMode()) return 0;
  return ended_ && started_ && upgrade_.LastOutcome() == UpgradeOutcome::Ok ? 0 : 1;
}

void WindowSession::SetProductionFlag(bool on) { upgrade_.SetProductionFlag(on); }

void WindowSession::SetPacing(Pacing pacing) { upgrade_.SetPacing(pacing); }

void WindowSession::OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                              std::optional<FirmwareName> firmware) {
  port_text_ = port_text;
  const bool starting = upgrade_.State() == UpgradeState::Idle;
  // A traced line flashes nothing it cannot trace or approve, nor an image
  // that its own records are appended to.
  if (starting) {
    std::string refused = records_.Problem();
    if (refused.empty() && firmware) refused = records_.RefusedFirmware(firmware->Bytes());
    if (!refused.empty()) {
      dialog_.SetStatus(status::kFileFailure);
      dialog_.ExplainStatus(FromUtf8(refused));
      return;
    }
  }
  const std::string firmware_text = firmware ? firmware->ForDisplay() : std::string();
  upgrade_.OnAcquire(port_text, type_text, std::move(firmware));
  // Locked after the call: a Start first runs the previous upgrade's last
  // calls, its ending's RestoreFields among them. A Start that failed at once
  // has already ended and left nothing in progress.
  if (starting && upgrade_.UpgradeInProgress()) {
    records_.Started(ToUtf8(port_text_).value_or(""), firmware_text, upgrade_.TypeCode(), upgrade_.GetPacing());
    started_ = true;
    dialog_.LockFields();
  }
}

void WindowSession::ShowRecordsState() {
  if (const auto news = records_.News()) dialog_.ShowRecordsState(FromUtf8(*news));
}

void WindowSession::SetStatus(std::string_view text) {
  records_.Status(text);
  dialog_.SetStatus(text);
}
void WindowSession::SetButtonCaption(std::string_view text) { dialog_.SetButtonCaption(text); }
void WindowSession::EnableButton(bool enabled) { dialog_.EnableButton(enabled); }
void WindowSession::SetProgressRange(std::uint16_t maximum) { dialog_.SetProgressRange(maximum); }
void WindowSession::SetProgressPosition(std::uint32_t position) { dialog_.SetProgressPosition(position); }

// Production mode, after "Upgrade OK": the window closes, and the process
// ends with status 0 once the toolkit's run of the window has returned and
// End() has joined the worker. Nothing here waits for the worker, which is
// itself waiting for this call to return.
void WindowSession::EndProcess() {
  ended_by_upgrade_ = true;
  toolkit_.CloseWindow();
}

// The status line keeps its fixed text; why the port did not open (no such
// device, permission, busy) goes into its tooltip, as the command line says it.
// A port text with no 8-bit form was never handed to the link.
void WindowSession::UpgradeEnded(UpgradeOutcome outcome) {
  dialog_.RestoreFields();
  records_.FramesSent(sinks_.DataFramesSent());
  std::string record_error;
  if (!records_.Ended(outcome, &record_error)) {
    dialog_.ExplainStatus(FromUtf8("the record could not be written: " + record_error));
  }
  if (outcome == UpgradeOutcome::FileFailure) {
    if (const auto why = records_.NotApproved()) dialog_.ExplainStatus(FromUtf8(*why));
  }
  if (outcome != UpgradeOutcome::PortFailure) return;
  const auto port = ToUtf8(port_text_);
  PortOpenError error{.kind = PortFailure::BadPortText, .device = {}, .system_error = 0};
  if (port) error = upgrade_.Link().LastOpenError();
  dialog_.ExplainStatus(FromUtf8(ExplainOpenFailure(port.value_or(""), error)));
}

}  // namespace zevuvuri::ui
