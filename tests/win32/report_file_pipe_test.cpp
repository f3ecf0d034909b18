// The journal written into a named pipe whose server stops reading: the
// append is bounded, the next records are refused at once while the pipe has
// no room, and what the server reads afterwards keeps every later record on
// a line of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "records/report_file.h"

namespace zevuvuri::records {
namespace {

// The server end of a pipe that another program created, with small buffers
// so that a few records fill it; it reads only when asked to.
class PipeServer {
 public:
  explicit PipeServer(const std::wstring& name) {
    pipe_ = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 1024, 1024, 0, nullptr);
  }
  ~PipeServer() { Close(); }
  bool ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
  void Close() {
    if (pipe_ != INVALID_HANDLE_VALUE) ::CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }
  // Everything the pipe holds now.
  std::string Drain() {
    std::string got;
    for (;;) {
      DWORD available = 0;
      if (!::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr) || available == 0) return got;
      std::string chunk(available, '\0');
      OVERLAPPED ov{};
      ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
      DWORD n = 0;
      if (!::ReadFile(pipe_, chunk.data(), available, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
        ::CloseHandle(ov.hEvent);
        return got;
      }
      const bool read = ::GetOverlappedResult(pipe_, &ov, &n, TRUE) != FALSE;
      ::CloseHandle(ov.hEvent);
      if (!read) return got;
      got.append(chunk.data(), n);
    }
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t from = 0;
  for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) {
    lines.push_back(text.substr(from, nl - from));
  }
  return lines;
}

// Appends on a thread of its own, so that an append that never returns
// fails the test instead of holding it: the server is then closed, which
// ends the write. Nothing when the append did not return in `bound`.
std::optional<bool> AppendWithin(ReportFile& file, const std::string& line, std::string* error, PipeServer& server,
                                 std::chrono::seconds bound) {
  auto append = std::async(std::launch::async, [&] { return file.Append(line, error); });
  if (append.wait_for(bound) == std::future_status::ready) return append.get();
  server.Close();
  append.wait();
  return std::nullopt;
}

TEST(ReportFilePipeTest, AServerThatReadsNothingBoundsTheAppendAndLaterRecordsStayWhole) {
  const std::wstring name = L"\\\\.\\pipe\\zevuvuri-report-" + std::to_wstring(::GetCurrentProcessId());
  PipeServer server(name);
  ASSERT_TRUE(server.ok()) << ::GetLastError();
  std::string error;
  const auto file = ReportFile::Open("\\\\.\\pipe\\zevuvuri-report-" + std::to_string(::GetCurrentProcessId()), &error);
  ASSERT_NE(file, nullptr) << error;

  // Records of 300 bytes fill the pipe's kilobyte in a few; far more than
  // that are tried, and one must be refused, within the limit and a wide
  // margin for a loaded machine (wine's pipes included).
  const std::string record(300, 'r');
  const auto bound = std::chrono::duration_cast<std::chrono::seconds>(kRecordWriteLimit) + std::chrono::seconds{20};
  int written = 0;
  std::optional<bool> ok;
  for (; written < 64; ++written) {
    ok = AppendWithin(*file, record, &error, server, bound);
    ASSERT_TRUE(ok.has_value()) << "record " << written << " held the append for more than " << bound.count() << " s";
    if (!*ok) break;
  }
  ASSERT_LT(written, 64) << "the pipe never filled";
  EXPECT_NE(error.find("took no more for 2 s"), std::string::npos) << error;

  // While the pipe has no room, the next record is refused without another
  // wait of the limit: said so in its own words.
  error.clear();
  ok = AppendWithin(*file, record, &error, server, bound);
  ASSERT_TRUE(ok.has_value());
  EXPECT_FALSE(*ok);
  EXPECT_NE(error.find("still takes no more"), std::string::npos) << error;

  // The server reads again: the next record goes out, on a line of its own
  // after whatever was cut short.
  std::string got = server.Drain();
  error.clear();
  ok = AppendWithin(*file, "after", &error, server, bound);
  ASSERT_TRUE(ok.has_value());
  EXPECT_TRUE(*ok) << error;
  got += server.Drain();
  const auto lines = Lines(got);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "after");
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    // Every earlier line is a whole record or a cut-short piece of one.
    EXPECT_LE(lines[i].size(), record.size()) << i;
    EXPECT_EQ(lines[i].find_first_not_of('r'), std::string::npos) << i;
  }
  EXPECT_GE(lines.size(), static_cast<std::size_t>(written + 1));
}

}  // namespace
}  // namespace zevuvuri::records
