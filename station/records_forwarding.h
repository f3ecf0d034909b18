// The line's database as a station runs it: the forwarder beside the
// journal, the line that tells the operator how it goes, and the run's end,
// which never waits long for the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "records/forwarder.h"
#include "records/forwarder_news.h"

namespace zevuvuri::station {

// At the run's end the forwarder gets this long to send what is left (not
// after Ctrl-C), then Stop's own limit: the loader ends within 2 s of its
// last unit whatever the database does.
constexpr auto kEndSendLimit = std::chrono::milliseconds{400};

// The station's thread only.
class RecordsForwarding {
 public:
  // Starts forwarding the journal's records to `connection`. False and
  // `*error` when the thread cannot start.
  bool Start(const std::string& journal, const std::string& connection, std::string* error);
  // A record was appended.
  void Wake();
  // Whether upgrades run now: the forwarder then yields to them
  // (RecordForwarder::SetBusy). Kept for a forwarder started later.
  void SetBusy(bool busy);
  // The line that shows the records' state, when it changed since the last
  // call (ForwarderNews::Next): records waiting while sending fails or the
  // database does not answer, records refused, all in the database.
  std::optional<std::string> News();
  // Ends the forwarder (a moment at full speed to finish first unless
  // `interrupted`: no upgrade runs any more) and
  // counts the records still waiting in the journal, and those the database
  // refused; not read when the journal cannot be. Without a forwarder:
  // nothing left.
  records::WaitingCount Finish(bool interrupted);
  const std::string& Journal() const { return journal_; }

 private:
  std::unique_ptr<records::RecordForwarder> forwarder_;
  std::string journal_;
  records::ForwarderNews news_;
  bool busy_ = false;
};

}  // namespace zevuvuri::station
