// Faults the simulated module can be asked to commit, and how they shape its answers.
//
// Every fault names a message by phase and number within the session (1-based):
//   sync   the N-th synchronisation probe "X" received
//   poll   the N-th poll frame
//   data   the N-th data frame
//   end    the end header with its 56 fillers (there is only one)
// The faults:
//   ignore_sync_probes K   leave the first K probes unanswered
//   sync_junk_first        put a junk byte before the first synchronisation answer
//   refuse_poll/data N     answer the N-th poll/data frame with "1" instead of "0"
//   ignore_poll/data N     do not answer the N-th poll/data frame at all
//   end_answer             answer the end with "0" (normal), "2", or nothing
//   junk_after_reply K     send K junk bytes after every reply byte
//   bursts                 K junk bytes when a message arrives, before or after its reply
//   vanish                 close the port and stop instead of answering a message
//   hang_up_after_reply    answer a message, then close the port and stop at once,
//                          as a module that resets into its new firmware
//   delays                 hold back the replies of one phase or message
// They apply to the first session only, so that a test can watch a failure and then a
// good upgrade against the same module, unless every_session is set. reply_delay is not a
// fault but the module's own latency: it holds back every reply of every session.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module_protocol.h"

namespace zevuvuri::sim {

enum class Phase : std::uint8_t { Sync, Poll, Data, End };

std::string_view PhaseName(Phase phase);

// One message of a phase; number 0 stands for every message of the phase.
struct MessageSelector {
  Phase phase = Phase::Sync;
  unsigned number = 0;

  bool Matches(Phase p, unsigned n) const { return phase == p && (number == 0 || number == n); }
};

enum class EndAnswer : std::uint8_t { Ack, RebootAck, Silent };

struct Burst {
  MessageSelector at;
  std::size_t bytes = 0;
  bool after_reply = false;  // false: the junk arrives first and the reply behind it
};

struct DelayRule {
  MessageSelector at;
  std::chrono::milliseconds delay{0};
};

struct FaultPlan {
  unsigned ignore_sync_probes = 0;
  bool sync_junk_first = false;
  unsigned refuse_poll = 0;
  unsigned ignore_poll = 0;
  unsigned refuse_data = 0;
  unsigned ignore_data = 0;
  EndAnswer end_answer = EndAnswer::Ack;
  unsigned junk_after_reply = 0;
  // What every junk byte is; 0x13, XOFF, tests that the loader's line takes
  // no flow control from the module.
  std::uint8_t junk_byte = kJunk;
  std::vector<Burst> bursts;
  std::optional<MessageSelector> vanish;
  std::optional<MessageSelector> hang_up_after_reply;
  std::chrono::milliseconds reply_delay{0};
  std::vector<DelayRule> delays;
  bool every_session = false;
};

// The message being answered, as the module model sees it.
struct MessageContext {
  Phase phase = Phase::Sync;
  unsigned number = 1;              // 1-based within the session
  std::uint8_t normal_reply = 0;    // what a healthy module answers
  bool first_sync_answer = false;   // no probe of this session has been answered yet
};

// What the module sends in answer to one message.
struct Answer {
  std::vector<std::uint8_t> reply;  // burst before, reply byte, junk after; empty: no reply
  std::vector<std::uint8_t> after;  // burst sent once the reply is out
  std::chrono::milliseconds delay{0};
  bool vanish = false;
  bool hang_up_after_reply = false;  // once what is sent here is out
};

// Shapes the answer to a message. With faults_active false the module answers normally,
// after reply_delay.
Answer PlanAnswer(const FaultPlan& plan, bool faults_active, const MessageContext& message);

// Parsers for the command line forms PHASE[:N], PHASE[:N]=MS and PHASE[:N]=COUNT.
// On failure they return nothing and set *error.
std::optional<MessageSelector> ParseSelector(std::string_view text, std::string* error);
std::optional<DelayRule> ParseDelayRule(std::string_view text, std::string* error);
std::optional<Burst> ParseBurst(std::string_view text, bool after_reply, std::string* error);
std::optional<EndAnswer> ParseEndAnswer(std::string_view text, std::string* error);

}  // namespace zevuvuri::sim
