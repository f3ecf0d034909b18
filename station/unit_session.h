// One unit's upgrade on one slot: its sinks, the front end's view of it and
// its controller; started, ended, and stopped with the others at once.
// Everything here runs on the station's thread, except StopSessions'
// stops (one helper thread per session) and the `yes` confirmation (on
// the upgrade's worker, from its poll hook).
#pragma once

#include <chrono>
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

// The destructor stops the controller (its worker joined) before the
// sinks it reports to go, whatever the members' order.
struct UnitSession {
  UnitSession() = default;
  ~UnitSession();
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  std::string port;
  std::string device;  // resolved when the upgrade starts, with a journal: a vanished link names nothing later
  std::optional<records::UsbAdapter> usb;
  std::optional<std::string> approved_sha256;
  UnitFrontEnd front;
  std::unique_ptr<UnitSinks> sinks;
  std::unique_ptr<UpgradeController> controller;
  // A line for the operator about this unit, and its ending, to the front end.
  std::function<void(const std::string&)> note;
  std::function<void(const UnitEnding&)> ended;
  std::chrono::system_clock::time_point started_wall;
  std::chrono::steady_clock::time_point started;
  std::optional<UpgradeOutcome> outcome;
  int exit_code = 0;
  double seconds = 0;
  bool prompted = false;  // told how to confirm over the air
  // The board's serial number as scanned, and whether it had "Upgrade OK"
  // with this image before (known once the image is taken).
  std::optional<std::string> serial_number;
  std::optional<bool> repeat;
};

// A session for `port` set up from the settings, reporting to `front` too;
// `wake` is called when its upgrade ends.
std::unique_ptr<UnitSession> MakeSession(const StationSettings& settings, const std::string& port, UnitFrontEnd front,
                                         std::function<void()> wake);

// Starts the upgrade; with a journal, the device and its adapter are taken
// first, while the port's link still names them.
void StartSession(UnitSession& s, const StationSettings& settings);

// The ending taken: its time, exit status, the reason a port did not open or
// an image was refused, then the ending told to the front end.
void TakeEnding(UnitSession& s, UpgradeOutcome outcome);

// Stops every session given at once (each Stop waits for its own worker,
// and meanwhile the others must not go on sending, so they run side by side),
// then ends each with the ending that stands: one that came by itself
// meanwhile, "Upgrade OK" over the air once the trailer had gone out, or
// interrupted.
void StopSessions(const std::vector<UnitSession*>& sessions);

// What the record and the summary say of the ending: the last status text,
// or "interrupted".
std::string ResultText(const UnitSession& s);

}  // namespace zevuvuri::station
