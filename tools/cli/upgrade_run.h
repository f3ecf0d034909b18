// The upgrades a command line asks for: one per --port, all at once, each
// with its own controller (its own link, receive thread and worker), shown
// per port and summed up at the end.
#pragma once

#include "tools/cli/cli_options.h"

namespace zevuvuri::cli {

// Runs every port's upgrade to its end; returns the process's exit status.
int RunUpgrades(const CliOptions& options);

}  // namespace zevuvuri::cli
