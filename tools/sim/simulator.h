// Runs the simulated module on a pseudo-terminal until the asked-for upgrades are done.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <vector>

#include "module_model.h"

namespace zevuvuri::sim {

// Exit status of the simulator; a violation outranks every other outcome, and a complete
// set of upgrades without violation is a success however the run ended. With boards in
// turn (units), success is every board played: each plugged, opened by the loader in one
// session, and unplugged.
enum ExitCode : int {
  kExitUpgraded = 0,      // the asked-for upgrades completed, no violation
  kExitViolation = 1,     // the loader broke the protocol
  kExitUsage = 2,         // bad command line
  kExitTimeout = 3,       // --timeout passed first
  kExitVanished = 4,      // a --vanish fault closed the port
  kExitInterrupted = 5,   // SIGINT or SIGTERM
  kExitSystemError = 6,   // pseudo-terminal, port link or save file failed
};

struct SimOptions {
  ModelConfig model;
  std::optional<unsigned> com;                 // create the comN link
  std::filesystem::path port_dir;
  std::optional<std::filesystem::path> save;   // where the received firmware goes
  unsigned upgrades = 1;
  std::optional<std::chrono::milliseconds> timeout;
  std::chrono::milliseconds linger{2000};      // wait for the loader to close after the last
  bool verbose = false;
  // Boards in turn on the comN link instead of one module that stays: each board is a
  // new pseudo-terminal and link with its own model, unplugged plug_gap after the loader
  // has closed its port (at once when a --vanish fault pulls it), and the next is plugged
  // plug_gap later. A second session on one board is a violation.
  std::optional<unsigned> units;
  std::chrono::milliseconds plug_gap{300};
  std::vector<FaultPlan> board_faults;  // one per board, board 1 first
};

// Prints the slave path on stdout, logs on stderr, returns an ExitCode.
int RunSimulator(const SimOptions& options);

}  // namespace zevuvuri::sim
