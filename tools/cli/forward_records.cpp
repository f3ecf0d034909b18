#include "tools/cli/forward_records.h"

#include <cstdio>

#include "records/forwarder.h"
#include "records/forwarder_news.h"
#include "records/journal_file.h"
#include "station/exit_codes.h"
#include "station/records_forwarding.h"
#include "tools/cli/console.h"

namespace zevuvuri::cli {
namespace {

using station::ExitCode;

constexpr auto kForwardStep = std::chrono::milliseconds{100};

// The forwarder's thread ended with the run: its wait is bounded by Stop.
int LeftStatus(const records::WaitingCount& left) {
  if (!left.read) return static_cast<int>(ExitCode::Report);
  if (left.waiting > 0) return static_cast<int>(ExitCode::RecordsWaiting);
  if (left.refused > 0) return static_cast<int>(ExitCode::RecordsRefused);
  return 0;
}

}  // namespace

void SayRecordsLeft(const records::WaitingCount& left, const std::string& journal) {
  if (!left.read) {
    std::fprintf(stderr, "zevuvuri-cli: records: the journal cannot be read back, its records cannot be sent: %s\n",
                 left.error.c_str());
    return;
  }
  if (left.waiting > 0) {
    std::fprintf(stderr,
                 "zevuvuri-cli: %s; they are kept in %s and sent at the next start with it, or by --forward-records\n",
                 records::WaitingText(left.waiting).c_str(), journal.c_str());
  }
  if (left.refused > left.refused_rotated) {
    std::fprintf(stderr,
                 "zevuvuri-cli: %s; they are kept in %s and tried again at the next start with it, or by "
                 "--forward-records\n",
                 records::RefusedText(left.refused - left.refused_rotated).c_str(), journal.c_str());
  }
  if (left.refused_rotated > 0) {
    std::fprintf(stderr,
                 "zevuvuri-cli: %s; they are kept in the file that was renamed, emptied or removed at %s while "
                 "this run held it: send that file with --forward-records --report FILE\n",
                 records::RefusedText(left.refused_rotated).c_str(), journal.c_str());
  }
}

int ForwardRecords(const std::string& journal, const std::string& connection) {
  // A journal misspelled or not readable is an error, never "0 waiting".
  {
    std::unique_ptr<records::JournalFile> file;
    std::string error;
    const records::PathLook look = records::JournalFile::Open(journal, &file, &error);
    if (look != records::PathLook::Found) {
      std::fprintf(stderr, "zevuvuri-cli: --forward-records: %s\n",
                   look == records::PathLook::Missing ? ("no journal at " + journal).c_str() : error.c_str());
      return static_cast<int>(ExitCode::Report);
    }
  }
  records::RecordForwarder forwarder(journal, connection);
  std::string error;
  if (!forwarder.Start(&error)) {
    std::fprintf(stderr, "zevuvuri-cli: %s\n", error.c_str());
    return static_cast<int>(ExitCode::Thread);
  }
  // Ends once all is sent, at the first failure, when the database does not
  // answer, when another forwarder keeps the journal that long, or on Ctrl-C.
  const auto began = std::chrono::steady_clock::now();
  records::ForwarderState state;
  std::string why;
  while (!InterruptRequested()) {
    if (forwarder.WaitSent(kForwardStep)) break;
    state = forwarder.State();
    if (state.failures > 0) break;
    if (state.not_answering) {
      why = "the database does not answer";
      break;
    }
    if (state.held_elsewhere && std::chrono::steady_clock::now() - began >= records::kNotAnswering) {
      why = "another forwarder is sending this journal's records (it holds " + records::JournalLockPath(journal) +
            ")";
      break;
    }
  }
  forwarder.Stop(records::RecordForwarder::kStopLimit);
  state = forwarder.State();
  const records::WaitingCount left = records::CountWaiting(journal);
  if (left.read) {
    std::printf("records: %llu sent, %llu waiting", static_cast<unsigned long long>(state.sent),
                static_cast<unsigned long long>(left.waiting));
    if (left.refused > 0) std::printf(", %llu refused", static_cast<unsigned long long>(left.refused));
    std::printf("\n");
  }
  if (left.read && left.waiting > 0) {
    if (why.empty()) why = state.reason;
    if (!why.empty()) std::fprintf(stderr, "zevuvuri-cli: %s\n", records::OneLine(why).c_str());
    // Where they are: without --report the journal is the default one, a
    // path the user may not know.
    std::fprintf(stderr, "zevuvuri-cli: %s; they are kept in %s and sent by the next --forward-records\n",
                 records::WaitingText(left.waiting).c_str(), journal.c_str());
  }
  if (left.read && left.refused > 0 && !state.refused_reason.empty()) {
    std::fprintf(stderr, "zevuvuri-cli: %s: %s\n", records::RefusedText(left.refused).c_str(),
                 records::OneLine(state.refused_reason).c_str());
  }
  if (!left.read) SayRecordsLeft(left, journal);
  if (InterruptRequested()) return static_cast<int>(ExitCode::Interrupted);
  return LeftStatus(left);
}

}  // namespace zevuvuri::cli
