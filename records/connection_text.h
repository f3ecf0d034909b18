// ODBC connection strings, and the reasons that may quote them, as the
// loader shows them: never with a password.
#pragma once

#include <string>
#include <string_view>

namespace zevuvuri::records {

// `text` with the value of every PWD= or PASSWORD= attribute (any case,
// braced or not) replaced by "***". Also for driver messages, which may
// quote the connection string.
std::string MaskPasswords(std::string_view text);

// A reason as a board or a status line shows it: line breaks, tabs and runs
// of blanks become single spaces (a driver's "\n\tIs the server running"),
// other control characters '?', passwords masked.
std::string OneLine(std::string_view reason);

}  // namespace zevuvuri::records
