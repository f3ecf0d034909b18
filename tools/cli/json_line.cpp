#include "tools/cli/json_line.h"

namespace zevuvuri::cli {

std::string JsonLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zevuvuri::cli
