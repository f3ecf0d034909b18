// The journal a station appends a record per unit to, what every record
// shares, and with a records database the forwarder that sends the journal's
// records there.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "records/report_file.h"
#include "station/records_forwarding.h"
#include "station/repeat_index.h"
#include "station/station_model.h"
#include "station/unit_session.h"

namespace zevuvuri::station {

// The station's thread only.
class UnitRecords {
 public:
  // Opens the journal when the settings name one; otherwise does nothing.
  // Nonzero: the run ends with that status and `*why` (a usage error when it
  // is the firmware file under any name; the file cannot be written, or the
  // interrupt came while waiting for a FIFO's reader). With a records
  // database the forwarder starts, the backlog of earlier runs first.
  // `serials`: the serial numbers already upgraded are read from the journal.
  int Open(const StationSettings& settings, bool serials, std::string* why);
  // A station's records name their unit and the station run.
  void SetStationRun(std::string id) { station_run_ = std::move(id); }
  // Appends the session's record; a record that did not go out whole is
  // noted on the session, and Failed() is true from then on.
  void Write(const UnitSession& s, std::optional<unsigned> unit = std::nullopt);
  bool Failed() const { return failed_; }
  // Whether upgrades run now (RecordsForwarding::SetBusy); may come before Open.
  void SetBusy(bool busy) { forwarding_.SetBusy(busy); }
  // The records' line when it changed: a record not written, else the
  // forwarder's (RecordsForwarding::News).
  std::optional<std::string> News();
  // The records' line for a record not written, once: also for the run's
  // last unit, after which no news is asked for.
  std::optional<std::string> Unwritten() { return std::exchange(unwritten_, std::nullopt); }
  // At the run's end: the forwarder stopped and the records still waiting
  // counted.
  void Finish(bool interrupted);
  // What the run's end found in the journal (all read and nothing left
  // without a records database).
  const records::WaitingCount& Left() const { return left_; }
  std::uint64_t Waiting() const { return left_.waiting; }
  const std::string& Journal() const { return forwarding_.Journal(); }
  // The interrupt came while a record waited to be written: the run ends as
  // interrupted, though every unit may have ended by itself.
  bool Interrupted() const { return interrupted_; }
  // Whether the journal holds "Upgrade OK" for this serial number with an
  // image of this SHA-256: records already there at Open (read only with
  // `serials`) and those written since.
  bool UpgradedBefore(const std::string& serial, const std::string& sha256) const {
    return repeats_.UpgradedBefore(serial, sha256);
  }
  // Why `firmware` may not be flashed with this journal (it is the journal,
  // its mark or its lock under any name: the records would go into every
  // later image), in the front end's words; nothing when it may.
  std::optional<std::string> FirmwareRefused(const std::string& firmware) const;
  // The firmware the next records name (a single run started again with
  // another file), made absolute now.
  void SetFirmware(const std::string& firmware);

 private:
  static records::WaitingCount Nothing() {
    records::WaitingCount none;
    none.read = true;
    return none;
  }
  bool InterruptAsked() const { return interrupt_.asked && interrupt_.asked(); }

  std::unique_ptr<records::ReportFile> file_;
  RecordsForwarding forwarding_;
  records::StopCheck interrupt_;
  records::WaitingCount left_ = Nothing();
  std::string station_;
  std::string host_;
  std::string firmware_path_;  // absolute
  std::string report_;         // the journal's path as given; empty without one
  SettingNames names_;
  std::optional<std::string> station_run_;
  bool failed_ = false;
  bool interrupted_ = false;
  std::optional<std::string> unwritten_;  // the records' line for a record not written, until shown
  RepeatIndex repeats_;
};

}  // namespace zevuvuri::station
