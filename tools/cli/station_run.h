// Station mode: each --port is a slot that waits for a unit, upgrades it,
// records it, waits for it to leave, and again, until --units units in all
// or Ctrl-C. One process, one controller per unit on each slot, all slots
// independent; the board shows each slot and the shift's figures.
#pragma once

#include "tools/cli/cli_options.h"

namespace zevuvuri::cli {

// Runs the station to its end; returns the process's exit status: 0 when
// every unit ended "Upgrade OK", otherwise the status of the first unit (by
// number) that did not, 130 after Ctrl-C.
int RunStation(const CliOptions& options);

}  // namespace zevuvuri::cli
