// The text a barcode scanner (or the operator) types for a board's serial
// number, checked before a slot takes the unit.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri::station {

// The records' serial_number column holds at most this many characters; a
// longer text would be refused by the database and never leave the journal.
constexpr std::size_t kMostSerialBytes = 255;

// `line`: one line of input without its '\n' (a '\r' before it, as a
// scanner set to CR LF sends, is dropped here). Spaces and tabs at either end
// are trimmed. Returns the serial number, or nothing with `*why` set: empty
// (or blank), control characters, Unicode format characters (direction
// marks, zero-width characters), not UTF-8, too long.
std::optional<std::string> SerialFromScan(std::string_view line, std::string* why);

}  // namespace zevuvuri::station
