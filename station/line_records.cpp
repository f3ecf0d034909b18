#include "station/line_records.h"

#include "records/forwarder.h"

namespace zevuvuri::station {

bool LineRecords::Start(const std::string& journal, const std::string& connection, std::string* error) {
  journal_ = journal;
  forwarder_ = std::make_unique<records::RecordForwarder>(journal, connection);
  if (forwarder_->Start(error)) return true;
  forwarder_.reset();
  return false;
}

void LineRecords::Wake() {
  if (forwarder_) forwarder_->Wake();
}

std::optional<std::string> LineRecords::News() {
  if (!forwarder_) return std::nullopt;
  return news_.Next(forwarder_->State());
}

std::uint64_t LineRecords::Finish(bool interrupted) {
  if (!forwarder_) return 0;
  if (!interrupted) forwarder_->WaitSent(kEndSendLimit);
  forwarder_->Stop(records::RecordForwarder::kStopLimit);
  forwarder_.reset();
  return records::CountWaiting(journal_);
}

}  // namespace zevuvuri::station
