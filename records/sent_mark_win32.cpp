#include <windows.h>

#include <filesystem>

#include "records/sent_mark.h"

namespace zevuvuri::records {
namespace {

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

}  // namespace

bool ReadMarkFile(const std::string& mark_utf8_path, std::string* text) {
  const HANDLE h = ::CreateFileW(Wide(mark_utf8_path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char buffer[8192];
  DWORD n = 0;
  bool ok = true;
  while ((ok = ::ReadFile(h, buffer, sizeof buffer, &n, nullptr) != FALSE) && n > 0 && text->size() < 1024 * 1024) {
    text->append(buffer, n);
  }
  ::CloseHandle(h);
  return ok;
}

// Written in place and cut to its length: a reader that meets a write in
// progress finds the check sum wrong and takes it as no mark, which only
// makes it send again (the forwarder that writes it holds the journal's lock).
bool WriteMarkFile(const std::string& mark_utf8_path, const std::string& text, std::string* error) {
  const HANDLE h = ::CreateFileW(Wide(mark_utf8_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = mark_utf8_path + ": cannot be written (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  DWORD n = 0;
  const bool ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size() &&
                  ::SetEndOfFile(h) && ::FlushFileBuffers(h);
  if (!ok) *error = mark_utf8_path + ": cannot be written (error " + std::to_string(::GetLastError()) + ")";
  ::CloseHandle(h);
  return ok;
}

}  // namespace zevuvuri::records
