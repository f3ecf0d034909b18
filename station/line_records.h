// The line's database as a station runs it: the forwarder beside the
// journal, the line that tells the operator how it goes, and the run's end,
// which never waits long for the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "records/forwarder.h"

namespace zevuvuri::station {

// At the run's end the forwarder gets this long to send what is left (not
// after Ctrl-C), then Stop's own limit: the loader ends within 2 s of its
// last unit whatever the database does.
constexpr auto kEndSendLimit = std::chrono::milliseconds{400};

// The station's thread only.
class LineRecords {
 public:
  // Starts forwarding the journal's records to `connection`. False and
  // `*error` when the thread cannot start.
  bool Start(const std::string& journal, const std::string& connection, std::string* error);
  // A record was appended.
  void Wake();
  // The line that shows the records' state, when it changed since the last
  // call: "records: N waiting for the database: REASON" while sending
  // fails, "records: all in the database" once they have gone after that.
  std::optional<std::string> News();
  // Ends the forwarder (a moment to finish first unless `interrupted`) and
  // counts the records still waiting in the journal.
  std::uint64_t Finish(bool interrupted);
  const std::string& Journal() const { return journal_; }

 private:
  std::unique_ptr<records::RecordForwarder> forwarder_;
  std::string journal_;
  std::string shown_;
};

// "records: N waiting for the database".
std::string WaitingText(std::uint64_t waiting);

}  // namespace zevuvuri::station
