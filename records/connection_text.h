// ODBC connection strings as the loader shows them: never with a password.
#pragma once

#include <string>
#include <string_view>

namespace zevuvuri::records {

// `text` with the value of every PWD= or PASSWORD= attribute (any case,
// braced or not) replaced by "***". Also for driver messages, which may
// quote the connection string.
std::string MaskPasswords(std::string_view text);

}  // namespace zevuvuri::records
