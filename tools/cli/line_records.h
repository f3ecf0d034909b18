// --records-db as the command line runs it: the forwarder beside the
// journal, what the operator is shown of it, and the run's end, which never
// waits long for the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "records/forwarder.h"
#include "records/forwarder_news.h"

namespace zevuvuri::cli {

// At the run's end the forwarder gets this long to send what is left (not
// after Ctrl-C), then Stop's own limit: the loader ends within 2 s of its
// last unit whatever the database does.
constexpr auto kEndSendLimit = std::chrono::milliseconds{400};

// Main thread only.
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
  records::ForwarderNews news_;
};

// Says on standard error where the waiting records are kept.
void SayRecordsWaiting(std::uint64_t waiting, const std::string& journal);

// --forward-records: sends the journal's backlog and ends at the first
// failure, once everything is sent, or on Ctrl-C. The exit status.
int ForwardRecords(const std::string& journal, const std::string& connection);

}  // namespace zevuvuri::cli
