#include "records/live_state.h"

#include <nlohmann/json.hpp>

#include "records/json_line.h"

namespace zevuvuri::records {

std::string FailuresJson(const std::vector<std::pair<std::string, unsigned>>& failures) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [text, count] : failures) list.push_back(nlohmann::json::array({text, count}));
  return JsonLine(list);
}

}  // namespace zevuvuri::records
