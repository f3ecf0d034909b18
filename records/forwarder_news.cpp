#include "records/forwarder_news.h"

namespace zevuvuri::records {

std::string WaitingText(std::uint64_t waiting) {
  return "records: " + std::to_string(waiting) + " waiting for the database";
}

std::optional<std::string> ForwarderNews::Next(const ForwarderState& state) {
  std::string line;
  if (!state.reason.empty() && state.waiting > 0) {
    line = WaitingText(state.waiting) + ": " + state.reason;
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
