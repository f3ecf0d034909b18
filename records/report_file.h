// The --report file: records appended whole, never rewritten. One
// implementation per platform (report_file_posix.cpp, report_file_win32.cpp).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zevuvuri::records {

// How a front end cuts the file's waits short (a FIFO without a reader, a
// pipe whose reader takes no more): whether the run was interrupted, and a
// pause that the interrupt ends early. Unset: never interrupted, a plain sleep.
struct StopCheck {
  std::function<bool()> asked;
  std::function<void(std::chrono::milliseconds)> pause;
};

// How long one record may wait for room in a pipe or a device whose reader
// takes no more: the append may run on a window's thread, which must not
// freeze behind it.
constexpr auto kRecordWriteLimit = std::chrono::seconds{2};

// Opened once, before any module is touched, and kept open for the run, so a
// FIFO's reader sees one writer from the first record to the last. Used from
// one thread at a time.
class ReportFile {
 public:
  // Opens the file for appending, creating it. A FIFO without a reader is
  // waited for until `stop` says so. Nothing, and `*error`, when it cannot be
  // opened.
  static std::unique_ptr<ReportFile> Open(const std::string& utf8_path, std::string* error, StopCheck stop = {});
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // Writes `line` and a newline with one write call, so that writers in
  // several processes never interleave, and a regular file is flushed to the
  // disk, so that a crash leaves no half record; a pipe or a device cannot be
  // and is not. A record that a full disk cut short is followed by a newline
  // before the next one. A pipe (on Windows also a \\.\pipe\ name) or a
  // device that has no room for the record holds the call at most
  // kRecordWriteLimit (the record is then not written, or cut short, and the
  // next one starts on a line of its own); after one ran out, the next ones
  // are refused at once while there is still no room. After Ctrl-C the
  // records get a second in all.
  // False and `*error` when the record did not go out whole.
  //
  // A regular file may be rotated under a station that runs for months: at
  // each call, when the path no longer names the file held (moved away,
  // replaced or deleted) or the file is shorter than it was after the last
  // record (emptied), the record goes to a fresh file at the path, which is
  // then held; FreshStart says so once. Pipes, FIFOs and devices are not
  // looked at.
  bool Append(const std::string& line, std::string* error);

  // Why the last Append started a fresh file at the path ("PATH was moved
  // away or replaced: a fresh journal was started there"), once; nothing
  // when it did not.
  std::optional<std::string> FreshStart();

 private:
  struct Handle;
  ReportFile(std::string path, std::unique_ptr<Handle> handle);
  // Regular files: a fresh file at the path when rotation took the one held.
  // False and `*why` when none could be started.
  bool FollowPath(std::string* why);

  const std::string path_;
  const std::unique_ptr<Handle> handle_;
  std::optional<std::string> fresh_start_;
};

// This machine's name, for the record.
std::string HostName();

// Whether both paths lead to one existing file: the same name, a hard link or
// a symbolic link to it. Compared by the file's identity (POSIX: device and
// inode; Windows: volume serial number and file index), never by the names.
// False when either cannot be looked at. Paths as the command line gives
// them: bytes on POSIX, UTF-8 on Windows.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace zevuvuri::records
