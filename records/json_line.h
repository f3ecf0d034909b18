// JSON as the command line writes it: one value per line.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zevuvuri::records {

// `value` as one line of JSON, without the newline. Bytes that are not UTF-8
// (a port text or a file name from an old file system) become U+FFFD, so the
// line stays valid JSON instead of the run ending in an exception.
std::string JsonLine(const nlohmann::json& value);

}  // namespace zevuvuri::records
