#include "fault_plan.h"

#include <charconv>

#include "module_protocol.h"

namespace zevuvuri::sim {

namespace {

std::optional<unsigned long long> ParseCount(std::string_view text) {
  unsigned long long value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
  return value;
}

std::optional<Phase> ParsePhase(std::string_view text) {
  if (text == "sync") return Phase::Sync;
  if (text == "poll") return Phase::Poll;
  if (text == "data") return Phase::Data;
  if (text == "end") return Phase::End;
  return std::nullopt;
}

// Splits "PHASE[:N]=VALUE" at the '=' and parses the value as a count.
template <typename Result, typename Build>
std::optional<Result> ParseAssignment(std::string_view text, std::string_view what,
                                      std::string* error, Build build) {
  const auto eq = text.find('=');
  if (eq == std::string_view::npos) {
    *error = "'" + std::string(text) + "': expected PHASE[:N]=" + std::string(what);
    return std::nullopt;
  }
  auto selector = ParseSelector(text.substr(0, eq), error);
  if (!selector) return std::nullopt;
  const auto value = ParseCount(text.substr(eq + 1));
  if (!value) {
    *error = "'" + std::string(text) + "': " + std::string(what) + " must be a whole number";
    return std::nullopt;
  }
  return build(*selector, *value);
}

}  // namespace

std::string_view PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Sync: return "sync";
    case Phase::Poll: return "poll";
    case Phase::Data: return "data";
    case Phase::End: return "end";
  }
  return "?";
}

std::optional<MessageSelector> ParseSelector(std::string_view text, std::string* error) {
  const auto colon = text.find(':');
  const auto phase = ParsePhase(text.substr(0, colon));
  if (!phase) {
    *error = "'" + std::string(text) + "': phase must be sync, poll, data or end";
    return std::nullopt;
  }
  MessageSelector selector{*phase, 0};
  if (colon != std::string_view::npos) {
    const auto number = ParseCount(text.substr(colon + 1));
    if (!number || *number == 0 || *number > 0xFFFFFFFFull) {
      *error = "'" + std::string(text) + "': message number must be 1 or more";
      return std::nullopt;
    }
    selector.number = static_cast<unsigned>(*number);
  }
  if (selector.phase == Phase::End && selector.number > 1) {
    *error = "'" + std::string(text) + "': an upgrade has only one end";
    return std::nullopt;
  }
  return selector;
}

std::optional<DelayRule> ParseDelayRule(std::string_view text, std::string* error) {
  return ParseAssignment<DelayRule>(text, "MS", error, [](MessageSelector at, auto ms) {
    return DelayRule{at, std::chrono::milliseconds{static_cast<long long>(ms)}};
  });
}

std::optional<Burst> ParseBurst(std::string_view text, bool after_reply, std::string* error) {
  return ParseAssignment<Burst>(text, "COUNT", error, [after_reply](MessageSelector at, auto n) {
    return Burst{at, static_cast<std::size_t>(n), after_reply};
  });
}

std::optional<EndAnswer> ParseEndAnswer(std::string_view text, std::string* error) {
  if (text == "0") return EndAnswer::Ack;
  if (text == "2") return EndAnswer::RebootAck;
  if (text == "none") return EndAnswer::Silent;
  *error = "'" + std::string(text) + "': end reply must be 0, 2 or none";
  return std::nullopt;
}

Answer PlanAnswer(const FaultPlan& plan, bool faults_active, const MessageContext& message) {
  Answer answer;
  answer.delay = plan.reply_delay;
  if (!faults_active) {
    answer.reply.push_back(message.normal_reply);
    return answer;
  }
  if (plan.vanish && plan.vanish->Matches(message.phase, message.number)) {
    answer.vanish = true;
    return answer;
  }
  answer.hang_up_after_reply =
      plan.hang_up_after_reply && plan.hang_up_after_reply->Matches(message.phase, message.number);
  for (const auto& rule : plan.delays) {
    if (rule.at.Matches(message.phase, message.number)) answer.delay += rule.delay;
  }
  for (const auto& burst : plan.bursts) {
    if (!burst.after_reply && burst.at.Matches(message.phase, message.number)) {
      answer.reply.insert(answer.reply.end(), burst.bytes, plan.junk_byte);
    }
  }

  std::optional<std::uint8_t> reply = message.normal_reply;
  switch (message.phase) {
    case Phase::Sync:
      if (message.number <= plan.ignore_sync_probes) {
        reply.reset();
      } else if (message.first_sync_answer && plan.sync_junk_first) {
        answer.reply.push_back(plan.junk_byte);
      }
      break;
    case Phase::Poll:
    case Phase::Data: {
      const bool poll = message.phase == Phase::Poll;
      if ((poll ? plan.ignore_poll : plan.ignore_data) == message.number) {
        reply.reset();
      } else if ((poll ? plan.refuse_poll : plan.refuse_data) == message.number) {
        reply = kRefuse;
      }
      break;
    }
    case Phase::End:
      if (plan.end_answer == EndAnswer::Silent) {
        reply.reset();
      } else if (plan.end_answer == EndAnswer::RebootAck) {
        reply = kRebootAck;
      }
      break;
  }
  if (reply) {
    answer.reply.push_back(*reply);
    answer.reply.insert(answer.reply.end(), plan.junk_after_reply, plan.junk_byte);
  }

  for (const auto& burst : plan.bursts) {
    if (burst.after_reply && burst.at.Matches(message.phase, message.number)) {
      answer.after.insert(answer.after.end(), burst.bytes, plan.junk_byte);
    }
  }
  return answer;
}

}  // namespace zevuvuri::sim
