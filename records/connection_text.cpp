#include "records/connection_text.h"

#include <cctype>

namespace zevuvuri::records {
namespace {

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Where the value that starts at `i` ends: a braced value runs to its
// closing brace ("}}" stands for one brace inside it), a plain one to the
// next ';' (or the end).
std::size_t ValueEnd(std::string_view text, std::size_t i) {
  if (i < text.size() && text[i] == '{') {
    for (std::size_t j = i + 1; j < text.size(); ++j) {
      if (text[j] != '}') continue;
      if (j + 1 < text.size() && text[j + 1] == '}') {
        ++j;
        continue;
      }
      return j + 1;
    }
    return text.size();
  }
  const std::size_t end = text.find(';', i);
  return end == std::string_view::npos ? text.size() : end;
}

}  // namespace

std::string MaskPasswords(std::string_view text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    // A name starts the text or follows a separator; spaces may surround it.
    const bool at_start = i == 0 || !IsNameChar(text[i - 1]);
    if (at_start && IsNameChar(text[i])) {
      std::size_t j = i;
      while (j < text.size() && IsNameChar(text[j])) ++j;
      const std::string_view name = text.substr(i, j - i);
      std::size_t k = j;
      while (k < text.size() && text[k] == ' ') ++k;
      if (k < text.size() && text[k] == '=' && (EqualsNoCase(name, "pwd") || EqualsNoCase(name, "password"))) {
        ++k;
        while (k < text.size() && text[k] == ' ') ++k;
        out.append(text.substr(i, k - i));
        out += "***";
        i = ValueEnd(text, k);
        continue;
      }
      out.append(name);
      i = j;
      continue;
    }
    out += text[i++];
  }
  return out;
}

std::string OneLine(std::string_view reason) {
  std::string line;
  bool space = false;
  for (const char c : reason) {
    const bool blank = c == '\n' || c == '\r' || c == '\t' || c == ' ' || c == '\v' || c == '\f';
    if (blank) {
      space = !line.empty();
      continue;
    }
    if (space) line += ' ';
    space = false;
    line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  return MaskPasswords(line);
}

}  // namespace zevuvuri::records
