// What an operator is told of the forwarder: one line when the records'
// state changes, the same on the command line's board and in the window.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "records/connection_text.h"
#include "records/forwarder.h"

namespace zevuvuri::records {

// "records: N waiting for the database".
std::string WaitingText(std::uint64_t waiting);
// "records: N refused by the database".
std::string RefusedText(std::uint64_t refused);
// One per forwarder; not thread-safe.
class ForwarderNews {
 public:
  // The line for `state` when it differs from the last one given:
  // "records: N waiting for the database: REASON" while sending fails (the
  // reason "the database does not answer" while a statement has been
  // outstanding for kNotAnswering), else "records: N refused by the
  // database: REASON" while records are set aside, "records: REASON" while
  // the journal cannot be read, "records: all in the
  // database" once they have gone after that. Nothing while all goes well
  // from the start, and nothing for an unchanged line.
  std::optional<std::string> Next(const ForwarderState& state);
  // The line given last; empty before the first.
  const std::string& Shown() const { return shown_; }

 private:
  std::string shown_;
};

}  // namespace zevuvuri::records
