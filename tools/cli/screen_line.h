// Text made to stand on one terminal line: what a driver or the system says
// may hold newlines and tabs, and a scanned serial may be longer than the
// screen is wide. A board redraws its lines in place by counting them, so a
// text that wraps or breaks would leave stale copies behind.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zevuvuri::cli {

// Newlines, carriage returns, tabs and the other C0 controls become spaces,
// runs of spaces become one, and none is left at either end.
std::string OneLine(std::string_view text);

// The text cut to at most `columns` characters (UTF-8 sequences kept whole,
// each counted as one column); 0: not cut.
std::string FitColumns(std::string_view text, std::size_t columns);

}  // namespace zevuvuri::cli
