#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "engine/text_encoding.h"
#include "records/report_file.h"

namespace zevuvuri::records {
namespace {

std::string ErrorText(const char* what) {
  return std::string(what) + " (error " + std::to_string(::GetLastError()) + ")";
}

// Whether the last byte of the disk file `h` ends a line (an empty file does).
bool EndsWithNewline(HANDLE h) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size) || size.QuadPart == 0) return true;
  OVERLAPPED at{};
  const auto last = static_cast<ULONGLONG>(size.QuadPart - 1);
  at.Offset = static_cast<DWORD>(last);
  at.OffsetHigh = static_cast<DWORD>(last >> 32);
  char byte = '\n';
  DWORD read = 0;
  return !::ReadFile(h, &byte, 1, &read, &at) || read != 1 || byte == '\n';
}

struct FileIdentity {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOfHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// Opened without read or write access, only to ask who the file is. Device
// names (\\.\...) are left alone: opening a pipe would connect to it, and
// no device is a firmware file.
std::optional<FileIdentity> IdentityOf(const std::string& utf8_path) {
  if (!IsValidUtf8(utf8_path) || utf8_path.rfind(R"(\\.\)", 0) == 0) return std::nullopt;
  const HANDLE h = ::CreateFileW(FromUtf8(utf8_path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  const auto identity = IdentityOfHandle(h);
  ::CloseHandle(h);
  return identity;
}

std::optional<std::uint64_t> SizeOf(HANDLE h) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h, &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
// the file in one step, as O_APPEND does. Read access only to look at the
// last byte. FILE_SHARE_DELETE lets rotation rename or delete the file while
// it is held, as on POSIX. `flags`: FILE_FLAG_OVERLAPPED or none. `*access`:
// the access the handle got.
HANDLE OpenForRecords(const std::string& utf8_path, DWORD flags = 0, DWORD* access = nullptr) {
  DWORD wanted = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE;
  HANDLE h = ::CreateFileW(FromUtf8(utf8_path).c_str(), wanted, kShare, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A pipe or a device may refuse read access.
    wanted = FILE_APPEND_DATA | SYNCHRONIZE;
    h = ::CreateFileW(FromUtf8(utf8_path).c_str(), wanted, kShare, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL | flags, nullptr);
  }
  if (access != nullptr) *access = wanted;
  return h;
}

// Whether the path names a named pipe: \\HOST\pipe\NAME (HOST "." for this
// machine, "?" as well), either slash. Decided by the name, before the
// open: a pipe opened once is connected, and opening it again would take a
// second instance of its server, which may have only one.
bool IsPipeName(const std::string& path) {
  const auto slash = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() < 2 || !slash(path[0]) || !slash(path[1])) return false;
  std::size_t at = 2;
  while (at < path.size() && !slash(path[at])) ++at;
  if (at == 2 || at + 6 > path.size()) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::string share = path.substr(at + 1, 4);
  for (char& c : share) c = lower(c);
  return share == "pipe" && slash(path[at + 5]) && at + 6 < path.size();
}

// A named pipe for writing. On a pipe FILE_APPEND_DATA means the right to
// create an instance, not to write: a write needs FILE_WRITE_DATA, and a
// pipe's writes always go to its end anyway. Overlapped, so that a write
// that finds no room is waited for with a limit.
HANDLE OpenPipeForRecords(const std::string& utf8_path) {
  return ::CreateFileW(FromUtf8(utf8_path).c_str(), FILE_WRITE_DATA | SYNCHRONIZE, kShare, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

using Clock = std::chrono::steady_clock;

// After an interrupt, the records still to write get this much in all.
constexpr auto kAfterInterrupt = std::chrono::seconds{1};

// How long a wait for room lasts at a time, so that an interrupt is seen
// promptly; also all that a record gets once its reader took no more.
constexpr auto kRoomCheck = std::chrono::milliseconds{50};

}  // namespace

struct ReportFile::Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  bool disk = false;
  // Disk files: who the file is, and its size after the last record.
  std::optional<FileIdentity> identity;
  std::uint64_t size = 0;
  // Pipes and devices: their handle is overlapped, so that a write is waited
  // for with a limit and then cancelled; `event` says it completed.
  HANDLE event = nullptr;
  StopCheck stop;
  std::optional<Clock::time_point> deadline;  // set by the first write after an interrupt
  // The last record ran out of time (its reader takes nothing), and whether
  // it went out in part, so that the next one starts on a line of its own.
  bool stalled = false;
  bool torn = false;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    if (event != nullptr) ::CloseHandle(event);
  }

  // Writes all of `bytes` to a pipe or a device, `*done` of them so far,
  // waiting for each write until `limit` has passed since the record began,
  // or, from an interrupt on, until `deadline` (set then), whichever comes
  // first; a write still pending then is cancelled. `*out_of_time` when it
  // was.
  bool WriteBounded(const std::string& bytes, Clock::duration limit, std::size_t* done, bool* out_of_time,
                    std::string* why);
};

bool ReportFile::Handle::WriteBounded(const std::string& bytes, Clock::duration limit, std::size_t* done,
                                      bool* out_of_time, std::string* why) {
  *out_of_time = false;
  const Clock::time_point until_limit = Clock::now() + limit;
  while (*done < bytes.size()) {
    OVERLAPPED ov{};
    ov.hEvent = event;
    ::ResetEvent(event);
    const auto count = static_cast<DWORD>(bytes.size() - *done);
    DWORD n = 0;
    if (!::WriteFile(h, bytes.data() + *done, count, nullptr, &ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        *why = ErrorText("write failed");
        return false;
      }
      // The write waits for room: for its event, a slice at a time.
      for (;;) {
        if (stop.asked && stop.asked() && !deadline) deadline = Clock::now() + kAfterInterrupt;
        const Clock::time_point until = deadline ? std::min(until_limit, *deadline) : until_limit;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) break;
        const auto slice = std::min(left, std::chrono::duration_cast<std::chrono::milliseconds>(kRoomCheck));
        if (::WaitForSingleObject(event, static_cast<DWORD>(slice.count())) == WAIT_OBJECT_0) break;
      }
      // Still pending: cancelled. Either way the buffer must not be left to
      // the system, so the outcome is waited for; a cancel is prompt.
      if (::WaitForSingleObject(event, 0) != WAIT_OBJECT_0) ::CancelIoEx(h, &ov);
      if (!::GetOverlappedResult(h, &ov, &n, TRUE)) {
        *done += n;  // a pipe may have taken part of it
        if (::GetLastError() == ERROR_OPERATION_ABORTED) {
          *out_of_time = true;
          if (deadline) {
            *why = "interrupted: the reader took no more";
          } else if (limit >= kRecordWriteLimit) {
            *why = "its reader took no more for " +
                   std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kRecordWriteLimit).count()) +
                   " s";
          } else {
            *why = "its reader still takes no more";
          }
        } else {
          *why = ErrorText("write failed");
        }
        return false;
      }
    } else if (!::GetOverlappedResult(h, &ov, &n, FALSE)) {
      *why = ErrorText("write failed");
      return false;
    }
    if (n == 0) {
      *why = "nothing written";
      return false;
    }
    *done += n;
  }
  return true;
}

ReportFile::ReportFile(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

ReportFile::~ReportFile() = default;

// A pipe without a server fails at once: nothing to wait for at the open;
// `stop` then cuts short the waits of the writes.
std::unique_ptr<ReportFile> ReportFile::Open(const std::string& utf8_path, std::string* error, StopCheck stop) {
  auto handle = std::make_unique<Handle>();
  handle->stop = std::move(stop);
  // Overlapped first: whether a path other than a pipe's names a device or
  // a disk file is known only once it is open, and a device may not take a
  // second open.
  DWORD access = 0;
  handle->h = IsPipeName(utf8_path) ? OpenPipeForRecords(utf8_path)
                                    : OpenForRecords(utf8_path, FILE_FLAG_OVERLAPPED, &access);
  if (handle->h == INVALID_HANDLE_VALUE) {
    *error = utf8_path + ": " + ErrorText("cannot open");
    return nullptr;
  }
  handle->disk = ::GetFileType(handle->h) == FILE_TYPE_DISK;
  if (handle->disk) {
    // A disk file is written, locked and read synchronously, as it always
    // was: the same file again, without the overlapped flag.
    const HANDLE plain = ::ReOpenFile(handle->h, access, kShare, 0);
    if (plain == INVALID_HANDLE_VALUE) {
      *error = utf8_path + ": " + ErrorText("cannot open");
      return nullptr;
    }
    ::CloseHandle(handle->h);
    handle->h = plain;
  } else {
    handle->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle->event == nullptr) {
      *error = utf8_path + ": " + ErrorText("cannot open");
      return nullptr;
    }
  }
  if (handle->disk) {
    handle->identity = IdentityOfHandle(handle->h);
    handle->size = SizeOf(handle->h).value_or(0);
  }
  return std::unique_ptr<ReportFile>(new ReportFile(utf8_path, std::move(handle)));
}

// A file that rotation moved, deleted or emptied: the path is opened again,
// so the record lands where readers of the path (the forwarder) look.
bool ReportFile::FollowPath(std::string* why) {
  Handle& h = *handle_;
  if (!h.identity) return true;  // the file held cannot be told apart: nothing to compare
  const char* change = nullptr;
  const auto named = IdentityOf(path_);
  if (!named) {
    const DWORD code = ::GetLastError();
    // A file deleted while held may keep its name, refusing every open,
    // until the last handle goes; one that has a name left was renamed.
    FILE_STANDARD_INFO standard{};
    const bool known = ::GetFileInformationByHandleEx(h.h, FileStandardInfo, &standard, sizeof standard) != FALSE;
    if (known && (standard.DeletePending || standard.NumberOfLinks == 0)) {
      change = "was deleted";
    } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      change = "was moved away or replaced";
    }
  } else if (!(*named == *h.identity)) {
    change = "was moved away or replaced";
  }
  if (change != nullptr) {
    const HANDLE fresh = OpenForRecords(path_);
    if (fresh == INVALID_HANDLE_VALUE || ::GetFileType(fresh) != FILE_TYPE_DISK) {
      *why = std::string(change) + " and no fresh file could be started there: " + ErrorText("cannot open");
      if (fresh != INVALID_HANDLE_VALUE) ::CloseHandle(fresh);
      return false;
    }
    ::CloseHandle(h.h);
    h.h = fresh;
    h.identity = IdentityOfHandle(fresh);
  } else if (SizeOf(h.h).value_or(h.size) < h.size) {
    change = "was emptied";
  } else {
    return true;
  }
  h.size = 0;
  fresh_start_ = path_ + " " + change + ": a fresh journal was started there";
  return true;
}

bool ReportFile::Append(const std::string& line, std::string* error) {
  std::string why;
  if (handle_->disk && !FollowPath(&why)) {
    *error = path_ + ": " + why;
    return false;
  }
  const HANDLE h = handle_->h;
  std::string whole = line + "\n";
  if (!handle_->disk) {
    // A pipe or a device. Once a record ran out of time, the next ones get
    // only a moment while there is still no room: each is said to be lost
    // at once, rather than holding its caller another kRecordWriteLimit.
    Handle& p = *handle_;
    // A record cut short is ended by the next one's newline, so that a
    // reader finds every later record on a line of its own.
    if (p.torn) whole = "\n" + whole;
    std::size_t done = 0;
    const bool ok = p.WriteBounded(whole, p.stalled ? Clock::duration{kRoomCheck} : Clock::duration{kRecordWriteLimit},
                                   &done, &p.stalled, &why);
    // A torn record stays unended until some of the next one went out.
    p.torn = !ok && (done > 0 || p.torn);
    if (!ok) *error = path_ + ": " + why;
    return ok;
  }
  // Loaders sharing a disk file take turns (a lock on a range past any real
  // end), so that the look at its last byte and the write belong together.
  OVERLAPPED range{};
  range.Offset = 0xFFFFFFFEu;
  range.OffsetHigh = 0x7FFFFFFFu;
  const bool locked = handle_->disk && ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &range);
  if (handle_->disk && !EndsWithNewline(h)) whole = "\n" + whole;
  DWORD written = 0;
  bool ok = ::WriteFile(h, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) != FALSE &&
            written == whole.size();
  if (!ok) *error = path_ + ": " + ErrorText("write failed");
  // Only a disk file can be flushed to the disk; a pipe or a device cannot.
  if (ok && handle_->disk && !::FlushFileBuffers(h)) {
    ok = false;
    *error = path_ + ": " + ErrorText("flush failed");
  }
  // With the records of other loaders sharing the file: only a shrink
  // below this is an emptying.
  if (handle_->disk) handle_->size = SizeOf(h).value_or(handle_->size);
  if (locked) ::UnlockFileEx(h, 0, 1, 0, &range);
  return ok;
}

std::optional<std::string> ReportFile::FreshStart() { return std::exchange(fresh_start_, std::nullopt); }

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return "";
  return ToUtf8(std::wstring(name, size)).value_or("");
}

bool SameFile(const std::string& a, const std::string& b) {
  const auto first = IdentityOf(a);
  if (!first) return false;
  const auto second = IdentityOf(b);
  return second && *first == *second;
}

}  // namespace zevuvuri::records
