#include "station/line_records.h"

#include "records/forwarder.h"

namespace zevuvuri::station {

std::string WaitingText(std::uint64_t n) {
  return "records: " + std::to_string(n) + " waiting" + " for the database";
}

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
  const records::ForwarderState state = forwarder_->State();
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

std::uint64_t LineRecords::Finish(bool interrupted) {
  if (!forwarder_) return 0;
  if (!interrupted) forwarder_->WaitSent(kEndSendLimit);
  forwarder_->Stop(records::RecordForwarder::kStopLimit);
  forwarder_.reset();
  return records::CountWaiting(journal_);
}

}  // namespace zevuvuri::station
