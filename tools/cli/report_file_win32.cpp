#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "engine/text_encoding.h"
#include "tools/cli/report_file.h"

namespace zevuvuri::cli {
namespace {

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of
// the file in one step, as O_APPEND does.
HANDLE OpenForAppend(const std::string& path, std::string* error) {
  const HANDLE h = ::CreateFileW(FromUtf8(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) *error = path + ": cannot open (error " + std::to_string(::GetLastError()) + ")";
  return h;
}

}  // namespace

bool AppendLine(const std::string& utf8_path, const std::string& line, std::string* error) {
  const HANDLE h = OpenForAppend(utf8_path, error);
  if (h == INVALID_HANDLE_VALUE) return false;
  const std::string whole = line + "\n";
  DWORD written = 0;
  bool ok = ::WriteFile(h, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr) != FALSE &&
            written == whole.size();
  if (!ok) *error = utf8_path + ": write failed (error " + std::to_string(::GetLastError()) + ")";
  if (ok && !::FlushFileBuffers(h)) {
    ok = false;
    *error = utf8_path + ": flush failed (error " + std::to_string(::GetLastError()) + ")";
  }
  ::CloseHandle(h);
  return ok;
}

bool CanAppend(const std::string& utf8_path, std::string* error) {
  const HANDLE h = OpenForAppend(utf8_path, error);
  if (h == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(h);
  return true;
}

std::string HostName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(name, &size)) return "";
  return ToUtf8(std::wstring(name, size)).value_or("");
}

}  // namespace zevuvuri::cli
