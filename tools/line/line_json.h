// The JSON answers of zevuvuri-line's API, built from the line's state. Every
// text from the database goes out as a JSON string; bytes that are not UTF-8
// become U+FFFD rather than failing the answer.
#pragma once

#include <string>
#include <vector>

#include "tools/line/line_state.h"

namespace zevuvuri::line {

// GET /api/line; `state` judged (JudgeStations) first.
std::string LineJson(const LineState& state);
// GET /api/serial: every attempt on the board, in the order given.
std::string SerialJson(const std::string& serial, const std::vector<Attempt>& attempts);
// {"error": text}
std::string ErrorJson(const std::string& text);

}  // namespace zevuvuri::line
