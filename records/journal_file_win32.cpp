#include <windows.h>

#include <algorithm>
#include <filesystem>

#include "records/journal_file.h"

namespace zevuvuri::records {
namespace {

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

std::string ErrorText(const std::string& path, const char* what, DWORD error) {
  return path + ": " + what + " (error " + std::to_string(error) + ")";
}

PathLook Classify(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathLook::Missing : PathLook::Unreadable;
}

FileIdentity IdentityOf(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return {};
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

class Win32JournalFile final : public JournalFile {
 public:
  Win32JournalFile(HANDLE h, std::string path, FileIdentity identity)
      : h_(h), path_(std::move(path)), identity_(identity) {}
  ~Win32JournalFile() override { ::CloseHandle(h_); }

  FileIdentity Identity() const override { return identity_; }

  bool Size(std::uint64_t* size, std::string* error) override {
    LARGE_INTEGER n{};
    if (!::GetFileSizeEx(h_, &n)) {
      *error = ErrorText(path_, "size unknown", ::GetLastError());
      return false;
    }
    *size = static_cast<std::uint64_t>(n.QuadPart);
    return true;
  }

  bool ReadAt(std::uint64_t offset, char* bytes, std::size_t size, std::size_t* got, std::string* error) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!::ReadFile(h_, bytes, asked, &n, &at)) {
      const DWORD e = ::GetLastError();
      if (e != ERROR_HANDLE_EOF) {
        *error = ErrorText(path_, "cannot be read", e);
        return false;
      }
      n = 0;
    }
    *got = n;
    return true;
  }

 private:
  const HANDLE h_;
  const std::string path_;
  const FileIdentity identity_;
};

class Win32JournalLock final : public JournalLock {
 public:
  explicit Win32JournalLock(HANDLE h) : h_(h) {}
  ~Win32JournalLock() override { ::CloseHandle(h_); }  // the lock goes with its handle

 private:
  const HANDLE h_;
};

}  // namespace

PathLook IdentityAt(const std::string& utf8_path, FileIdentity* identity, std::string* error) {
  // Opened without read or write access, only to ask which file it is.
  const HANDLE h = ::CreateFileW(Wide(utf8_path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    *error = ErrorText(utf8_path, "cannot be looked at", e);
    return Classify(e);
  }
  *identity = IdentityOf(h);
  ::CloseHandle(h);
  return PathLook::Found;
}

PathLook JournalFile::Open(const std::string& utf8_path, std::unique_ptr<JournalFile>* file, std::string* error) {
  // FILE_SHARE_DELETE: the journal may still be renamed or removed while the
  // forwarder holds it, as on POSIX.
  const HANDLE h = ::CreateFileW(Wide(utf8_path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = ::GetLastError();
    *error = ErrorText(utf8_path, "cannot be read", e);
    return Classify(e);
  }
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    *error = utf8_path + ": not a regular file";
    return PathLook::Unreadable;
  }
  *file = std::make_unique<Win32JournalFile>(h, utf8_path, IdentityOf(h));
  return PathLook::Found;
}

std::string JournalLockPath(const std::string& journal_utf8_path) { return journal_utf8_path + ".lock"; }

JournalLock::Outcome JournalLock::Take(const std::string& journal_utf8_path, std::unique_ptr<JournalLock>* lock,
                                       std::string* error) {
  const std::string path = JournalLockPath(journal_utf8_path);
  const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = ErrorText(path, "cannot be made", ::GetLastError());
    return Outcome::Failed;
  }
  // LockFileEx belongs to the handle: a second forwarder in this process,
  // with its own handle, is refused as another process would be.
  OVERLAPPED range{};
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
    const DWORD e = ::GetLastError();
    ::CloseHandle(h);
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) return Outcome::HeldElsewhere;
    *error = ErrorText(path, "cannot be locked", e);
    return Outcome::Failed;
  }
  *lock = std::make_unique<Win32JournalLock>(h);
  return Outcome::Taken;
}

}  // namespace zevuvuri::records
