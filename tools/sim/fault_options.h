// The fault options of the simulator's command line, declared once: the
// command line itself and each board's own --board text are parsed with them.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

#include "fault_plan.h"

namespace zevuvuri::sim {

// The fault options as given, before their texts are checked. The counts and
// flags go straight into `plan`.
struct FaultOptions {
  FaultPlan plan;
  std::vector<std::string> delays;
  std::vector<std::string> bursts;
  std::vector<std::string> bursts_after;
  std::string vanish;
  std::string hang_up_after;
  std::string end_reply = "0";
  unsigned reply_delay_ms = 0;
};

// Adds --reply-delay-ms, --delay, --ignore-sync, --sync-junk-first,
// --refuse-poll, --ignore-poll, --refuse-data, --ignore-data, --end-reply,
// --junk-after-reply, --burst, --burst-after, --vanish and --hang-up-after,
// bound to `options`.
void AddFaultOptions(CLI::App& app, FaultOptions& options);

// The plan the options describe; nothing, and *error naming the option, when
// one of their texts is malformed.
std::optional<FaultPlan> BuildFaultPlan(const FaultOptions& options, std::string* error);

// One board's faults from a --board text "N:OPTIONS", e.g. "2:--refuse-data 3":
// the board number and the plan of `common` with OPTIONS applied over it (an
// option given for the board replaces the same option of the command line).
struct BoardFaults {
  unsigned board = 0;
  FaultPlan plan;
};
std::optional<BoardFaults> ParseBoardFaults(const std::string& text, const FaultOptions& common, std::string* error);

}  // namespace zevuvuri::sim
