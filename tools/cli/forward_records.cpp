#include "tools/cli/forward_records.h"

#include <cstdio>

#include "records/forwarder.h"
#include "station/exit_codes.h"
#include "station/line_records.h"
#include "tools/cli/console.h"

namespace zevuvuri::cli {
namespace {

using station::ExitCode;

constexpr auto kForwardStep = std::chrono::milliseconds{100};

}  // namespace

void SayRecordsWaiting(std::uint64_t waiting, const std::string& journal) {
  if (waiting == 0) return;
  std::fprintf(stderr,
               "zevuvuri-cli: %s; they are kept in %s and sent at the next start with it, or by --forward-records\n",
               station::WaitingText(waiting).c_str(), journal.c_str());
}

int ForwardRecords(const std::string& journal, const std::string& connection) {
  records::RecordForwarder forwarder(journal, connection);
  std::string error;
  if (!forwarder.Start(&error)) {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", error.c_str());
    return static_cast<int>(ExitCode::Thread);
  }
  while (!InterruptRequested()) {
    if (forwarder.WaitSent(kForwardStep)) break;
    if (forwarder.State().failures > 0) break;
  }
  const records::ForwarderState state = forwarder.State();
  forwarder.Stop(records::RecordForwarder::kStopLimit);
  const std::uint64_t waiting = records::CountWaiting(journal);
  std::printf("records: %llu sent, %llu waiting\n", static_cast<unsigned long long>(state.sent),
              static_cast<unsigned long long>(waiting));
  if (!state.reason.empty()) std::fprintf(stderr, "zevuvuri-cli: %s\n", state.reason.c_str());
  if (InterruptRequested()) return static_cast<int>(ExitCode::Interrupted);
  return waiting == 0 ? 0 : static_cast<int>(ExitCode::RecordsWaiting);
}

}  // namespace zevuvuri::cli
