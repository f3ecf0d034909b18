#include "tools/cli/screen_line.h"

namespace zevuvuri::cli {

std::string OneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  bool blank = false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == ' ' || byte == 0x7F) {
      blank = !line.empty();
      continue;
    }
    if (blank) line += ' ';
    blank = false;
    line += c;
  }
  return line;
}

std::string FitColumns(std::string_view text, std::size_t columns) {
  if (columns == 0) return std::string(text);
  std::size_t shown = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // A continuation byte belongs to the character before it.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (shown == columns) return std::string(text.substr(0, i));
    ++shown;
  }
  return std::string(text);
}

}  // namespace zevuvuri::cli
