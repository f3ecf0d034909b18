#include "station/records_forwarding.h"

#include "records/forwarder.h"

namespace zevuvuri::station {

bool RecordsForwarding::Start(const std::string& journal, const std::string& connection, std::string* error) {
  journal_ = journal;
  forwarder_ = std::make_unique<records::RecordForwarder>(journal, connection);
  forwarder_->SetBusy(busy_);
  if (forwarder_->Start(error)) return true;
  forwarder_.reset();
  return false;
}

void RecordsForwarding::Wake() {
  if (forwarder_) forwarder_->Wake();
}

void RecordsForwarding::SetBusy(bool busy) {
  if (busy == busy_) return;
  busy_ = busy;
  if (forwarder_) forwarder_->SetBusy(busy);
}

std::optional<std::string> RecordsForwarding::News() {
  if (!forwarder_) return std::nullopt;
  return news_.Next(forwarder_->State());
}

records::WaitingCount RecordsForwarding::Finish(bool interrupted) {
  records::WaitingCount left;
  left.read = true;
  if (!forwarder_) return left;
  SetBusy(false);
  if (!interrupted) forwarder_->WaitSent(kEndSendLimit);
  forwarder_->Stop(records::RecordForwarder::kStopLimit);
  const records::ForwarderState last = forwarder_->State();
  forwarder_.reset();
  left = records::CountWaiting(journal_);
  if (left.missing && last.looked) {
    // Removed after its last record: the forwarder read what it held to its
    // end, and its own count is what is left.
    left = records::WaitingCount{};
    left.read = true;
    left.waiting = last.waiting;
    left.refused = last.refused;
    left.refused_rotated = last.refused_rotated;
    return left;
  }
  // Refused records in a file that rotation took from the path are in no
  // count of the path's journal.
  if (left.read) {
    left.refused += last.refused_rotated;
    left.refused_rotated = last.refused_rotated;
  }
  return left;
}

}  // namespace zevuvuri::station
