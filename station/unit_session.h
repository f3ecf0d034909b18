// One unit's upgrade on one slot: its sinks, the front end's view of it and
// its controller; started, ended, and stopped with the others at once.
// Everything here runs on the station's thread, except StopAll's stops (one
// helper thread per session) and the `yes` confirmation (on the upgrade's
// worker, from its poll hook).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/upgrade_controller.h"
#include "records/unit_record.h"
#include "station/station_model.h"
#include "station/unit_sinks.h"

namespace zevuvuri::station {

// What a session keeps true: its ending (outcome, exit status, seconds) is
// taken once and whole; whether the board is a repeat is settled once; the
// operator is prompted once; and the controller is stopped, its worker
// joined, before the sinks it reports to go.
class UnitSession {
 public:
  // A session for `port` set up from the settings, reporting to `front` too.
  // `wake` is called when its upgrade ends; `note` carries a line for the
  // operator about this unit, `ended` its ending, to the front end.
  // `serial`: the board's serial number as scanned, if one was.
  UnitSession(const StationSettings& settings, std::string port, UnitFrontEnd front, std::function<void()> wake,
              std::function<void(const std::string&)> note, std::function<void(const UnitEnding&)> ended,
              std::optional<std::string> serial);
  ~UnitSession();
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  // Starts the upgrade; with a journal, the device and its adapter are taken
  // first, while the port's link still names them.
  void Start(const StationSettings& settings);

  // The ending taken: its time, exit status, the reason a port did not open or
  // an image was refused, then the ending told to the front end. Only the
  // first ending counts; a later one changes nothing and tells nothing.
  void TakeEnding(UpgradeOutcome outcome);

  // Stops every session given at once (each Stop waits for its own worker,
  // and meanwhile the others must not go on sending, so they run side by
  // side), then ends each with the ending that stands: one that came by
  // itself meanwhile, "Upgrade OK" over the air once the trailer had gone
  // out, or interrupted.
  static void StopAll(const std::vector<UnitSession*>& sessions);

  void Note(const std::string& text) const { note_(text); }

  // Over the air, with no ending yet, synchronised and the start enabled:
  // the module waits for the operator's confirmation.
  bool AwaitsConfirmation() const;
  // True the first time only: the operator is told once how to confirm.
  bool PromptOnce();
  void Confirm() { controller_->Confirm(); }

  // The board's serial number as scanned, and whether it had "Upgrade OK"
  // with this image before (known once the image is taken, or settled as
  // no repeat when none was). The first answer stands.
  const std::optional<std::string>& SerialNumber() const { return serial_number_; }
  std::optional<bool> Repeat() const { return repeat_; }
  void SetRepeat(bool repeat);

  const std::string& Port() const { return port_; }
  // Resolved when the upgrade starts, with a journal: a vanished link names nothing later.
  const std::string& Device() const { return device_; }
  const std::optional<records::UsbAdapter>& Usb() const { return usb_; }
  const std::optional<std::string>& ApprovedSha256() const { return approved_sha256_; }
  std::chrono::system_clock::time_point StartedWall() const { return started_wall_; }
  const std::optional<UpgradeOutcome>& Outcome() const { return outcome_; }
  int ExitCode() const { return exit_code_; }
  double Seconds() const { return seconds_; }
  const UnitSinks& Sinks() const { return *sinks_; }
  std::uint8_t TypeCode() const { return controller_->TypeCode(); }
  Pacing GetPacing() const { return controller_->GetPacing(); }
  // For the front end that drives the controller itself (a window's button).
  UpgradeController& Controller() { return *controller_; }

  // What the record and the summary say of the ending: the last status text,
  // or "interrupted".
  std::string ResultText() const;

 private:
  const std::string port_;
  std::string device_;
  std::optional<records::UsbAdapter> usb_;
  const std::optional<std::string> approved_sha256_;
  UnitFrontEnd front_;
  std::unique_ptr<UnitSinks> sinks_;
  std::unique_ptr<UpgradeController> controller_;
  const std::function<void(const std::string&)> note_;
  const std::function<void(const UnitEnding&)> ended_;
  std::chrono::system_clock::time_point started_wall_;
  std::chrono::steady_clock::time_point started_;
  std::optional<UpgradeOutcome> outcome_;
  int exit_code_ = 0;
  double seconds_ = 0;
  bool prompted_ = false;
  const std::optional<std::string> serial_number_;
  std::optional<bool> repeat_;
};

}  // namespace zevuvuri::station
