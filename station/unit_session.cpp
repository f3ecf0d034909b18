#include "station/unit_session.h"

#include <system_error>
#include <thread>

#include "engine/port_diagnosis.h"
#include "engine/text_encoding.h"
#include "records/approved_image.h"
#include "station/exit_codes.h"
#include "station/serial_device_info.h"

namespace zevuvuri::station {

UnitSession::~UnitSession() {
  if (controller) controller->Stop();
}

std::unique_ptr<UnitSession> MakeSession(const StationSettings& settings, const std::string& port, UnitFrontEnd front,
                                         std::function<void()> wake) {
  auto s = std::make_unique<UnitSession>();
  s->port = port;
  s->front = std::move(front);
  s->sinks = std::make_unique<UnitSinks>(s->front.sinks.get(), std::move(wake));
  s->controller = std::make_unique<UpgradeController>(*s->sinks);
  s->controller->SetPacing(settings.pacing);
  if (s->front.link_observer) s->controller->Link().SetObserver(s->front.link_observer.get());
  if (settings.yes) {
    // Confirmed from the worker at the first acknowledged poll, in every
    // pacing: waiting for the station's next pass would let fast pacing send
    // hundreds more.
    s->sinks->SetPollHook([controller = s->controller.get()] {
      if (controller->Mode() == LinkMode::OverTheAir) controller->Confirm();
    });
  }
  s->approved_sha256 = settings.firmware_sha256;
  s->controller->SetExpectedSha256(settings.firmware_sha256);
  if (settings.sync_limit) s->controller->SetSyncLimit(*settings.sync_limit);
  if (s->front.set_up) s->front.set_up(*s->controller);
  return s;
}

void StartSession(UnitSession& s, const StationSettings& settings) {
  if (settings.report) {
    s.device = DeviceForPort(s.port);
    if (!s.device.empty()) s.usb = DescribeDevice(s.device).usb;
  }
  s.started_wall = std::chrono::system_clock::now();
  s.started = std::chrono::steady_clock::now();
  // The port's and the file name's bytes as given: a name that is no UTF-8
  // opens as it is, never a look-alike.
  s.controller->Start(s.port, FromUtf8(settings.type_text), FirmwareName::FromBytes(settings.firmware));
}

void TakeEnding(UnitSession& s, UpgradeOutcome outcome) {
  s.outcome = outcome;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
  s.exit_code = static_cast<int>(ExitCodeFor(outcome));
  if (outcome == UpgradeOutcome::PortFailure) {
    s.note(ExplainOpenFailure(s.port, s.controller->Link().LastOpenError()));
  }
  if (outcome == UpgradeOutcome::FileFailure && s.approved_sha256) {
    const auto image = s.sinks->FirmwareImage();
    if (image && image->sha256 && *image->sha256 != *s.approved_sha256) {
      s.note(records::ImageNotApprovedText(*image->sha256, *s.approved_sha256));
    }
  }
  s.ended(UnitEnding{outcome, s.exit_code, s.seconds});
}

void StopSessions(const std::vector<UnitSession*>& sessions) {
  std::vector<std::thread> stopping;
  for (UnitSession* s : sessions) {
    UpgradeController* controller = s->controller.get();
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
    std::optional<UpgradeOutcome> outcome = s->sinks->Ended();
    if (!outcome) outcome = s->controller->LastOutcome();
    if (*outcome == UpgradeOutcome::Cancelled) s->note("interrupted: port closed");
    TakeEnding(*s, *outcome);
  }
}

std::string ResultText(const UnitSession& s) {
  return s.outcome == UpgradeOutcome::Cancelled ? "interrupted" : s.sinks->LastStatus();
}

}  // namespace zevuvuri::station
