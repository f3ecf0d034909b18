// Text for the database's text columns: whole characters, within the
// column's width, and always UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace zevuvuri::records {

// Cuts `text` (UTF-8) on a character's boundary to at most `units` UTF-16
// units (a character past U+FFFF counts twice): PostgreSQL counts a column's
// characters and SQL Server its UTF-16 units, and a longer text would be
// refused whole. Bytes that are no UTF-8 become U+FFFD.
std::string FitColumn(const std::string& text, std::size_t units);

}  // namespace zevuvuri::records
