#include "records/json_line.h"

namespace zevuvuri::records {

std::string JsonLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zevuvuri::records
