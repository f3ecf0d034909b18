#include "records/forwarder_news.h"

#include "records/connection_text.h"

namespace zevuvuri::records {

std::string WaitingText(std::uint64_t waiting) {
  return "records: " + std::to_string(waiting) + " waiting for the database";
}

std::string RefusedText(std::uint64_t refused) {
  return "records: " + std::to_string(refused) + " refused by the database";
}

std::optional<std::string> ForwarderNews::Next(const ForwarderState& state) {
  std::string line;
  if (state.waiting > 0 && state.not_answering) {
    line = WaitingText(state.waiting) + ": the database does not answer";
  } else if (!state.reason.empty() && state.waiting > 0) {
    line = WaitingText(state.waiting) + ": " + OneLine(state.reason);
  } else if (!state.looked && !state.reason.empty()) {
    line = "records: " + OneLine(state.reason);  // the journal itself cannot be read
  } else if (state.refused > 0) {
    line = RefusedText(state.refused) + ": " + OneLine(state.refused_reason);
  } else if (!shown_.empty() && state.waiting == 0) {
    line = "records: all in the database";
  } else {
    return std::nullopt;
  }
  if (line == shown_) return std::nullopt;
  shown_ = line;
  return line;
}

}  // namespace zevuvuri::records
