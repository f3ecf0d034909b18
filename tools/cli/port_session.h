// One upgrade on one port as the command line runs it: its reporter, trace
// and controller, started, confirmed over the air, stopped on Ctrl-C, ended
// and recorded. Shared by the one-shot run (upgrade_run.cpp) and the station
// (station_run.cpp). Everything here runs on the main thread, except
// StopSessions' shutdowns (one helper thread per session) and the --yes
// confirmation (on the upgrade's worker, from its reporter's poll hook).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/upgrade_controller.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "tools/cli/console_reporter.h"
#include "tools/cli/line_records.h"
#include "tools/cli/link_trace.h"
#include "records/report_file.h"
#include "tools/cli/serial_device_info.h"

namespace zevuvuri::cli {

// The controller is declared last so that it is shut down (its worker
// joined) before the sinks and the trace it uses go.
struct PortSession {
  std::string port;
  std::string device;  // resolved when the upgrade starts: a vanished link names nothing later
  std::optional<UsbAdapter> usb;
  std::optional<std::string> approved_sha256;  // --firmware-sha256
  std::unique_ptr<ConsoleReporter> reporter;
  std::unique_ptr<LinkTrace> trace;
  std::unique_ptr<UpgradeController> controller;
  std::chrono::system_clock::time_point started_wall;
  std::chrono::steady_clock::time_point started;
  std::optional<UpgradeOutcome> outcome;
  int exit_code = 0;
  double seconds = 0;
  bool prompted = false;  // told to press Enter over the air
  // --next scan: the board's serial number as scanned, and whether it had
  // "Upgrade OK" with this image before (known once the image is taken).
  std::optional<std::string> serial_number;
  std::optional<bool> repeat;
};

// A session for `port`, shown at `place`, its controller set up from the
// options; `label` prefixes its --trace lines.
std::unique_ptr<PortSession> MakeSession(const CliOptions& options, const std::string& port,
                                         const ReporterPlace& place, const std::string& label);

// Starts the upgrade; with --report, the device and its adapter are taken
// first, while the port's link still names them.
void StartSession(PortSession& s, const CliOptions& options);

// The ending taken: its time, exit status, the reason a port did not open,
// and the result line (or event).
void FinishSession(PortSession& s, UpgradeOutcome outcome, Pacing pacing);

// Stops every session given at once (each Shutdown waits for its own worker,
// and meanwhile the others must not go on sending, so they run side by side),
// then ends each with the ending that stands: one that came by itself
// meanwhile, "Upgrade OK" over the air once the trailer had gone out, or
// interrupted.
void StopSessions(const std::vector<PortSession*>& sessions, Pacing pacing);

// What the record and the summary say of the ending: the last status text,
// or "interrupted".
std::string ResultText(const PortSession& s);

// Two port texts for one device would have the second upgrade fail as "busy"
// against the first: says so and returns false.
bool PortsNameDistinctDevices(const std::vector<std::string>& ports);

// The --report file (the journal), what every record shares, and with
// --records-db the forwarder that sends the journal's records to the line's
// database.
class UnitRecords {
 public:
  // Opens the file when --report was given; otherwise does nothing. Nonzero:
  // the run ends with that status (a usage error when it is the firmware file
  // under any name; the file cannot be written, or Ctrl-C came while waiting
  // for a FIFO's reader), said on standard error. With --records-db the
  // forwarder starts, the backlog of earlier runs first.
  int Open(const CliOptions& options, bool serials = false);
  // Station mode: every record names its unit and the station run.
  void SetStationRun(std::string id) { station_run_ = std::move(id); }
  // Appends the session's record; a record that did not go out whole is
  // noted on the session's reporter and counted.
  void Write(const PortSession& s, Pacing pacing, std::optional<unsigned> unit = std::nullopt);
  bool Failed() const { return failed_; }
  // The records' line when it changed (LineRecords::News).
  std::optional<std::string> News() { return line_.News(); }
  // At the run's end: the forwarder stopped, the records still waiting
  // counted and, when there are some, said where they are kept.
  void Finish(bool interrupted);
  std::uint64_t Waiting() const { return waiting_; }
  // Ctrl-C came while a record waited to be written: the run ends as
  // interrupted, though every unit may have ended by itself.
  bool Interrupted() const { return interrupted_; }
  // Whether the journal holds "Upgrade OK" for this serial number with an
  // image of this SHA-256: records already there at Open (read only with
  // `serials`) and those written since.
  bool UpgradedBefore(const std::string& serial, const std::string& sha256) const;

 private:
  bool ReadUpgradedSerials(const std::string& path);

  std::unique_ptr<records::ReportFile> file_;
  LineRecords line_;
  std::uint64_t waiting_ = 0;
  std::string station_;
  std::string host_;
  std::string firmware_path_;  // absolute
  std::optional<std::string> station_run_;
  bool failed_ = false;
  bool interrupted_ = false;
  std::set<std::pair<std::string, std::string>> upgraded_;  // serial number, SHA-256
};

// The run's exit status from that of its first failing unit (0 when none
// failed): 130 after Ctrl-C (also one that cut a record short) whatever else,
// then the unit's status, then 11 when a record was not written, then 14 when
// records still wait for the database, then 12 when standard output could not
// be written.
int RunExitStatus(int first_failure, bool interrupted, const UnitRecords& records);

// Over the air the button is enabled after synchronisation: the operator
// confirms with Enter (one Enter for every port then waiting), or --yes
// confirms each port at its module's first acknowledged poll (the poll hook
// MakeSession sets; Apply's --yes case only backs it up).
class Confirmations {
 public:
  explicit Confirmations(bool yes) : yes_(yes) {}
  // The sessions among `running` that wait for the operator now; each is
  // told once how to go on (unless --yes does it).
  std::vector<PortSession*> Waiting(const std::vector<PortSession*>& running);
  // Confirms `waiting`: with --yes those whose module has answered a poll,
  // otherwise all of them when `enter` was pressed. Confirm, never the
  // button's toggle: a poll that failed meanwhile must not turn the
  // confirmation into a second, unattended upgrade.
  void Apply(const std::vector<PortSession*>& waiting, bool enter);
  bool Yes() const { return yes_; }

 private:
  const bool yes_;
};

// Enter on standard input, as the operator's presses (or a scanner's lines),
// and its end noted once.
class OperatorKeys {
 public:
  // Each line typed since the last call, with its text.
  std::vector<std::string> Lines();
  bool Pressed() { return !Lines().empty(); }
  bool Open() const { return open_; }
  // True once: at the first call after Pressed found the end of input, so
  // that the run says once that standard input is closed.
  bool EndJustSeen();

 private:
  EnterKey key_;
  bool open_ = true;
  bool end_seen_ = false;
};

}  // namespace zevuvuri::cli
