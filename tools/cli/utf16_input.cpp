#include "tools/cli/utf16_input.h"

namespace zevuvuri::cli {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHigh(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLow(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void Append(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string Utf16Input::Add(std::u16string_view units) {
  std::string out;
  for (const char16_t unit : units) {
    if (high_ != 0) {
      const char16_t high = high_;
      high_ = 0;
      if (IsLow(unit)) {
        Append(0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00), out);
        continue;
      }
      Append(kReplacement, out);
    }
    if (IsHigh(unit)) {
      high_ = unit;
    } else if (IsLow(unit)) {
      Append(kReplacement, out);
    } else {
      Append(unit, out);
    }
  }
  return out;
}

}  // namespace zevuvuri::cli
