// Text between the loader (UTF-8) and ODBC's W calls (UTF-16 SQLWCHAR on
// every platform: unixODBC's unsigned short, Windows' wchar_t).
#pragma once

#include <cstddef>
#include <string>

namespace zevuvuri::records {

// What is not UTF-8 becomes U+FFFD.
std::u16string OdbcUtf16(const std::string& utf8);
// A lone surrogate becomes U+FFFD.
std::string OdbcUtf8(const char16_t* text, std::size_t length);

}  // namespace zevuvuri::records
