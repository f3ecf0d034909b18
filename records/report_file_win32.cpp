#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

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

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
// the file in one step, as O_APPEND does. Read access only to look at the
// last byte. FILE_SHARE_DELETE lets rotation rename or delete the file while
// it is held, as on POSIX.
HANDLE OpenForRecords(const std::string& utf8_path) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = ::CreateFileW(FromUtf8(utf8_path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE, kShare,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // A pipe or a device may refuse read access.
    h = ::CreateFileW(FromUtf8(utf8_path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShare, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  return h;
}

}  // namespace

struct ReportFile::Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  bool disk = false;
  // Disk files: who the file is, and its size after the last record.
  std::optional<FileIdentity> identity;
  std::uint64_t size = 0;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};

ReportFile::ReportFile(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

ReportFile::~ReportFile() = default;

// A pipe without a server fails at once: nothing to wait for, so nothing
// for `stop` to cut short.
std::unique_ptr<ReportFile> ReportFile::Open(const std::string& utf8_path, std::string* error, StopCheck /*stop*/) {
  auto handle = std::make_unique<Handle>();
  handle->h = OpenForRecords(utf8_path);
  if (handle->h == INVALID_HANDLE_VALUE) {
    *error = utf8_path + ": " + ErrorText("cannot open");
    return nullptr;
  }
  handle->disk = ::GetFileType(handle->h) == FILE_TYPE_DISK;
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
