// The loader's exit statuses, one per kind of ending (a station gives each
// unit one, and the run the first that failed), so that a
// test station's script can tell them apart without parsing text.
#pragma once

#include <string_view>

#include "engine/upgrade_sinks.h"

namespace zevuvuri::station {

enum class ExitCode : int {
  Ok = 0,                    // "Upgrade OK"
  DoctorFound = 1,           // --doctor found a problem
  Usage = 2,                 // bad command line
  Port = 3,                  // "Failure : couldn't initialize COM port"
  File = 4,                  // "Failure : couldn't open file" / "couldn't read file"
  PollRefused = 5,           // "Did not get local ACK"
  FrameRefused = 6,          // "Write Error"
  RebootNotAcknowledged = 7, // "Did not get local ACK for reboot"
  SyncTimeout = 8,           // "Failure : no answer from module" (--sync-timeout)
  FileTooLarge = 9,          // "Failure : file too large"
  Thread = 10,               // "Failure : couldn't start thread"
  Report = 11,               // the --report file could not be written
  Output = 12,               // standard output could not be written
  PortLost = 13,             // "Failure : COM port lost" (the device went away while synchronising)
  RecordsWaiting = 14,       // every unit OK, but records still wait for the database (safe in the journal)
  RecordsRefused = 15,       // every unit OK, but the database refused records (kept in the journal, tried again)
  Interrupted = 130,         // Ctrl-C or SIGTERM: port closed, nothing more sent
};

ExitCode ExitCodeFor(UpgradeOutcome outcome);
std::string_view OutcomeName(UpgradeOutcome outcome);  // for --json: "ok", "port", ...

}  // namespace zevuvuri::station
