#include "station/unit_session.h"

#include <system_error>
#include <thread>
#include <utility>

#include "engine/port_diagnosis.h"
#include "engine/text_encoding.h"
#include "records/approved_image.h"
#include "station/exit_codes.h"
#include "station/serial_device_info.h"

namespace zevuvuri::station {

UnitSession::UnitSession(const StationSettings& settings, std::string port, UnitFrontEnd front,
                         std::function<void()> wake, std::function<void(const std::string&)> note,
                         std::function<void(const UnitEnding&)> ended, std::optional<std::string> serial)
    : port_(std::move(port)),
      approved_sha256_(settings.firmware_sha256),
      front_(std::move(front)),
      sinks_(std::make_unique<UnitSinks>(front_.sinks.get(), std::move(wake))),
      controller_(std::make_unique<UpgradeController>(*sinks_)),
      note_(std::move(note)),
      ended_(std::move(ended)),
      serial_number_(std::move(serial)) {
  controller_->SetPacing(settings.pacing);
  if (front_.link_observer) controller_->Link().SetObserver(front_.link_observer.get());
  if (settings.yes) {
    // Confirmed from the worker at the first acknowledged poll, in every
    // pacing: waiting for the station's next pass would let fast pacing send
    // hundreds more.
    sinks_->SetPollHook([controller = controller_.get()] {
      if (controller->Mode() == LinkMode::OverTheAir) controller->Confirm();
    });
  }
  controller_->SetExpectedSha256(settings.firmware_sha256);
  if (settings.sync_limit) controller_->SetSyncLimit(*settings.sync_limit);
  if (front_.set_up) front_.set_up(*controller_);
}

// The worker reports to the sinks (the session's and the front end's) until
// Stop has joined it: it is stopped here, before any member goes, whatever
// their order.
UnitSession::~UnitSession() { controller_->Stop(); }

void UnitSession::Start(const StationSettings& settings) {
  if (settings.report) {
    device_ = DeviceForPort(port_);
    if (!device_.empty()) usb_ = DescribeDevice(device_).usb;
  }
  started_wall_ = std::chrono::system_clock::now();
  started_ = std::chrono::steady_clock::now();
  // The port's and the file name's bytes as given: a name that is no UTF-8
  // opens as it is, never a look-alike.
  controller_->Start(port_, FromUtf8(settings.type_text), FirmwareName::FromBytes(settings.firmware));
}

void UnitSession::TakeEnding(UpgradeOutcome outcome) {
  if (outcome_) return;
  outcome_ = outcome;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  exit_code_ = static_cast<int>(ExitCodeFor(outcome));
  if (outcome == UpgradeOutcome::PortFailure) {
    note_(ExplainOpenFailure(port_, controller_->Link().LastOpenError()));
  }
  if (outcome == UpgradeOutcome::FileFailure && approved_sha256_) {
    const auto image = sinks_->FirmwareImage();
    if (image && image->sha256 && *image->sha256 != *approved_sha256_) {
      note_(records::ImageNotApprovedText(*image->sha256, *approved_sha256_));
    }
  }
  ended_(UnitEnding{outcome, exit_code_, seconds_});
}

void UnitSession::StopAll(const std::vector<UnitSession*>& sessions) {
  std::vector<std::thread> stopping;
  for (UnitSession* s : sessions) {
    UpgradeController* controller = s->controller_.get();
    try {
      stopping.emplace_back([controller] { controller->Stop(); });
    } catch (const std::system_error&) {
      controller->Stop();
    }
  }
  for (auto& t : stopping) t.join();
  for (UnitSession* s : sessions) {
    // The controller's own outcome stands when its report was held back by
    // the stop: an ending the worker had already reached (a "Write Error"
    // shown a moment before the window closed), "Upgrade OK" once the
    // trailer had gone out, or interrupted.
    std::optional<UpgradeOutcome> outcome = s->sinks_->Ended();
    if (!outcome) outcome = s->controller_->LastOutcome();
    if (*outcome == UpgradeOutcome::Cancelled) s->note_("interrupted: port closed");
    s->TakeEnding(*outcome);
  }
}

bool UnitSession::AwaitsConfirmation() const {
  return !outcome_ && controller_->State() == UpgradeState::Acquiring && controller_->Mode() == LinkMode::OverTheAir &&
         sinks_->ButtonEnabled();
}

bool UnitSession::PromptOnce() {
  if (prompted_) return false;
  prompted_ = true;
  return true;
}

void UnitSession::SetRepeat(bool repeat) {
  if (!repeat_) repeat_ = repeat;
}

std::string UnitSession::ResultText() const {
  return outcome_ == UpgradeOutcome::Cancelled ? "interrupted" : sinks_->LastStatus();
}

}  // namespace zevuvuri::station
