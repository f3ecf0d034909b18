#include <cstdlib>
#include <filesystem>

#include "records/state_folder.h"

namespace zevuvuri::records {

std::string DefaultJournalPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // The XDG rule: a relative value is to be ignored.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/zevuvuri/records.jsonl";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return "";
  return std::string(home) + "/.local/state/zevuvuri/records.jsonl";
}

bool MakeJournalFolder(const std::string& utf8_path, std::string* error) {
  std::error_code ec;
  const auto folder = std::filesystem::path(utf8_path).parent_path();
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  if (ec) *error = folder.string() + ": " + ec.message();
  return !ec;
}

}  // namespace zevuvuri::records
