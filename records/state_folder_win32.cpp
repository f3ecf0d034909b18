#include <cstdlib>
#include <filesystem>

#include "records/state_folder.h"

namespace zevuvuri::records {

std::string DefaultJournalPath() {
  const wchar_t* local = ::_wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || local[0] == L'\0') return "";
  const std::u8string utf8 = (std::filesystem::path(local) / L"ZE Vuvuri" / L"records.jsonl").u8string();
  return std::string(utf8.begin(), utf8.end());
}

bool MakeJournalFolder(const std::string& utf8_path, std::string* error) {
  std::error_code ec;
  const auto folder = std::filesystem::u8path(utf8_path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) *error = ec.message();
  return !ec;
}

}  // namespace zevuvuri::records
