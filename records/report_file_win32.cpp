#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <optional>

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

}  // namespace

struct ReportFile::Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  bool disk = false;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};

ReportFile::ReportFile(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

ReportFile::~ReportFile() = default;

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
// the file in one step, as O_APPEND does. Read access only to look at the
// last byte. A pipe without a server fails at once: nothing to wait for, so
// nothing for `stop` to cut short.
std::unique_ptr<ReportFile> ReportFile::Open(const std::string& utf8_path, std::string* error, StopCheck /*stop*/) {
  auto handle = std::make_unique<Handle>();
  handle->h = ::CreateFileW(FromUtf8(utf8_path).c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle->h == INVALID_HANDLE_VALUE) {
    // A pipe or a device may refuse read access.
    handle->h = ::CreateFileW(FromUtf8(utf8_path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  }
  if (handle->h == INVALID_HANDLE_VALUE) {
    *error = utf8_path + ": " + ErrorText("cannot open");
    return nullptr;
  }
  handle->disk = ::GetFileType(handle->h) == FILE_TYPE_DISK;
  return std::unique_ptr<ReportFile>(new ReportFile(utf8_path, std::move(handle)));
}

bool ReportFile::Append(const std::string& line, std::string* error) {
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
  if (locked) ::UnlockFileEx(h, 0, 1, 0, &range);
  return ok;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return "";
  return ToUtf8(std::wstring(name, size)).value_or("");
}

namespace {

struct FileIdentity {
  DWORD volume = 0;
  DWORD index_high = 0;
  DWORD index_low = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Opened without read or write access, only to ask who the file is. Device
// names (\\.\...) are left alone: opening a pipe would connect to it, and
// no device is a firmware file.
std::optional<FileIdentity> IdentityOf(const std::string& utf8_path) {
  if (!IsValidUtf8(utf8_path) || utf8_path.rfind(R"(\\.\)", 0) == 0) return std::nullopt;
  const HANDLE h = ::CreateFileW(FromUtf8(utf8_path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = ::GetFileInformationByHandle(h, &info) != FALSE;
  ::CloseHandle(h);
  if (!known) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  const auto first = IdentityOf(a);
  if (!first) return false;
  const auto second = IdentityOf(b);
  return second && *first == *second;
}

}  // namespace zevuvuri::records
