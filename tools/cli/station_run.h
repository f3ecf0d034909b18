// The command line's one main loop. Station mode: each --port is a slot that
// waits for a unit, upgrades it, records it, waits for it to leave, and
// again, until --units units in all or Ctrl-C. A single run is a station
// whose slots each take one unit at once, and which ends when they have.
// One process, one controller per unit on each slot, all slots independent.
#pragma once

#include "tools/cli/cli_options.h"

namespace zevuvuri::cli {

// Runs the station (or the single run) to its end; returns the process's
// exit status: 0 when every unit ended "Upgrade OK", otherwise the status of
// the first unit (by number; a single run's in the order of the ports) that
// did not, 130 after Ctrl-C.
int RunStation(const CliOptions& options);

}  // namespace zevuvuri::cli
