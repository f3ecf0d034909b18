#include "fault_options.h"

#include <charconv>

namespace zevuvuri::sim {

void AddFaultOptions(CLI::App& app, FaultOptions& o) {
  FaultPlan& faults = o.plan;
  app.add_option("--reply-delay-ms", o.reply_delay_ms, "Hold back every reply of every session by MS");
  app.add_option("--delay", o.delays, "PHASE[:N]=MS: hold back the reply to those messages by MS more");
  app.add_option("--ignore-sync", faults.ignore_sync_probes, "Leave the first K probes unanswered");
  app.add_flag("--sync-junk-first", faults.sync_junk_first,
               "Send a junk byte before the first synchronisation answer");
  app.add_option("--refuse-poll", faults.refuse_poll, "Answer poll frame N with \"1\"");
  app.add_option("--ignore-poll", faults.ignore_poll, "Do not answer poll frame N");
  app.add_option("--refuse-data", faults.refuse_data, "Answer data frame N with \"1\"");
  app.add_option("--ignore-data", faults.ignore_data, "Do not answer data frame N");
  app.add_option("--end-reply", o.end_reply, "Answer to the end: 0, 2 (accepted in serial mode only) or none")
      ->capture_default_str();
  app.add_option("--junk-after-reply", faults.junk_after_reply, "Send K junk bytes after every reply byte");
  app.add_option("--junk-byte", faults.junk_byte,
                 "The value of every junk byte, 0-255 (default 165); 19 is XOFF, which a line with XON/XOFF left "
                 "on would take as flow control")
      ->check(CLI::Range(0, 255));
  app.add_option("--burst", o.bursts, "PHASE[:N]=K: K junk bytes (any number) before the reply to those messages");
  app.add_option("--burst-after", o.bursts_after, "PHASE[:N]=K: K junk bytes after the reply");
  app.add_option("--vanish", o.vanish,
                 "PHASE[:N]: close the port and exit instead of answering (with --units: pull the board)");
  app.add_option("--hang-up-after", o.hang_up_after,
                 "PHASE[:N]: answer, then close the port and exit at once, as a module resetting into its new "
                 "firmware (with --units: pull the board)");
}

std::optional<FaultPlan> BuildFaultPlan(const FaultOptions& o, std::string* error) {
  FaultPlan plan = o.plan;  // the counts and flags; the rules are added from their texts
  for (const auto& text : o.delays) {
    auto rule = ParseDelayRule(text, error);
    if (!rule) {
      *error = "--delay " + *error;
      return std::nullopt;
    }
    plan.delays.push_back(*rule);
  }
  for (const auto* list : {&o.bursts, &o.bursts_after}) {
    for (const auto& text : *list) {
      auto burst = ParseBurst(text, list == &o.bursts_after, error);
      if (!burst) {
        *error = "--burst " + *error;
        return std::nullopt;
      }
      plan.bursts.push_back(*burst);
    }
  }
  if (!o.vanish.empty()) {
    auto selector = ParseSelector(o.vanish, error);
    if (!selector) {
      *error = "--vanish " + *error;
      return std::nullopt;
    }
    if (selector->number == 0) selector->number = 1;
    plan.vanish = *selector;
  }
  if (!o.hang_up_after.empty()) {
    auto selector = ParseSelector(o.hang_up_after, error);
    if (!selector) {
      *error = "--hang-up-after " + *error;
      return std::nullopt;
    }
    if (selector->number == 0) selector->number = 1;
    plan.hang_up_after_reply = *selector;
  }
  auto end_answer = ParseEndAnswer(o.end_reply, error);
  if (!end_answer) {
    *error = "--end-reply " + *error;
    return std::nullopt;
  }
  plan.end_answer = *end_answer;
  plan.reply_delay = std::chrono::milliseconds{o.reply_delay_ms};
  return plan;
}

std::optional<BoardFaults> ParseBoardFaults(const std::string& text, const FaultOptions& common, std::string* error) {
  const auto colon = text.find(':');
  unsigned board = 0;
  const char* end = text.data() + (colon == std::string::npos ? text.size() : colon);
  const auto [ptr, ec] = std::from_chars(text.data(), end, board);
  if (colon == std::string::npos || ec != std::errc{} || ptr != end || board == 0) {
    *error = "--board '" + text + "': expected N:OPTIONS, N from 1, e.g. 2:--refuse-data 3";
    return std::nullopt;
  }
  FaultOptions options = common;
  CLI::App app{"", "--board"};
  AddFaultOptions(app, options);
  try {
    app.parse(text.substr(colon + 1), false);
  } catch (const CLI::ParseError& e) {
    *error = "--board '" + text + "': " + e.what();
    return std::nullopt;
  }
  auto plan = BuildFaultPlan(options, error);
  if (!plan) {
    *error = "--board '" + text + "': " + *error;
    return std::nullopt;
  }
  return BoardFaults{board, *plan};
}

}  // namespace zevuvuri::sim
