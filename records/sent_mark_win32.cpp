#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "records/sent_mark.h"

namespace zevuvuri::records {
namespace {

// The offset as 20 digits and a newline, always at the file's start (see
// sent_mark_posix.cpp).
constexpr DWORD kMarkSize = 21;

std::wstring Wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

}  // namespace

std::string SentMarkPath(const std::string& journal_utf8_path) { return journal_utf8_path + ".sent"; }

std::uint64_t LoadSentMark(const std::string& mark_utf8_path) {
  const HANDLE h = ::CreateFileW(Wide(mark_utf8_path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  char text[kMarkSize + 1] = {};
  DWORD n = 0;
  const BOOL read = ::ReadFile(h, text, kMarkSize, &n, nullptr);
  ::CloseHandle(h);
  std::uint64_t offset = 0;
  if (!read || n != kMarkSize || std::sscanf(text, "%20" SCNu64, &offset) != 1) return 0;
  return offset;
}

bool SaveSentMark(const std::string& mark_utf8_path, std::uint64_t offset, std::string* error) {
  const HANDLE h = ::CreateFileW(Wide(mark_utf8_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = mark_utf8_path + ": cannot be written (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  char text[kMarkSize + 1];
  std::snprintf(text, sizeof text, "%020" PRIu64 "\n", offset);
  DWORD n = 0;
  const bool ok = ::WriteFile(h, text, kMarkSize, &n, nullptr) && n == kMarkSize && ::FlushFileBuffers(h);
  if (!ok) *error = mark_utf8_path + ": cannot be written (error " + std::to_string(::GetLastError()) + ")";
  ::CloseHandle(h);
  return ok;
}

}  // namespace zevuvuri::records
