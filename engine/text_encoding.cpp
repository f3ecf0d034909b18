#include "engine/text_encoding.h"

#include <tuple>
#include <utility>

namespace zevuvuri {
namespace {

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHighHalf(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowHalf(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// `c` as UTF-16 code units of type Unit (char16_t, or a 2-byte wchar_t).
template <typename Unit>
void AppendUtf16(char32_t c, std::basic_string<Unit>* out) {
  if (c < 0x10000) {
    out->push_back(static_cast<Unit>(c));
    return;
  }
  out->push_back(static_cast<Unit>(0xD800 + ((c - 0x10000) >> 10)));
  out->push_back(static_cast<Unit>(0xDC00 + ((c - 0x10000) & 0x3FF)));
}

// The character at the front of UTF-16 `units` (not empty) and its number of
// units; a surrogate without its other half comes back as itself, alone.
template <typename Unit>
std::pair<char32_t, std::size_t> DecodeUtf16(std::basic_string_view<Unit> units) {
  const auto first = static_cast<char32_t>(units[0]);
  if (IsHighHalf(first) && units.size() > 1) {
    const auto second = static_cast<char32_t>(units[1]);
    if (IsLowHalf(second)) return {0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00), 2};
  }
  return {first, 1};
}

// UTF-8 to the code points' values as Unit: UTF-16 pairs when Unit holds
// 16 bits, whole values otherwise.
template <typename Unit>
std::basic_string<Unit> DecodeAll(std::string_view text) {
  std::basic_string<Unit> out;
  out.reserve(text.size());
  while (!text.empty()) {
    const Utf8Character c = DecodeUtf8(text);
    const std::size_t length = c.length == 0 ? 1 : c.length;  // resynchronise on the next byte
    const char32_t value = c.length == 0 ? kReplacementCharacter : c.value;
    if constexpr (sizeof(Unit) == 2) {
      AppendUtf16(value, &out);
    } else {
      out.push_back(static_cast<Unit>(value));
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace

Utf8Character DecodeUtf8(std::string_view text) {
  if (text.empty()) return {};
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {1, lead};
  // C0 and C1 could only begin overlong forms, F5 to FF only values past
  // U+10FFFF: no lead byte at all.
  std::size_t length = 0;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07;
  } else {
    return {};
  }
  if (text.size() < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return {};
    value = value << 6 | (byte(i) & 0x3F);
  }
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) || value > 0x10FFFF || IsSurrogate(value)) {
    return {};
  }
  return {length, value};
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(std::string_view text) { return DecodeAll<char16_t>(text); }

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  while (!units.empty()) {
    const auto [value, length] = DecodeUtf16(units);
    AppendUtf8(IsSurrogate(value) ? kReplacementCharacter : value, &out);
    units.remove_prefix(length);
  }
  return out;
}

std::optional<std::string> ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    char32_t value = 0;
    std::size_t length = 1;
    if constexpr (sizeof(wchar_t) == 2) {
      std::tie(value, length) = DecodeUtf16(text);
    } else {
      value = static_cast<char32_t>(text[0]);
    }
    if (IsSurrogate(value) || value > 0x10FFFF) return std::nullopt;
    AppendUtf8(value, &out);
    text.remove_prefix(length);
  }
  return out;
}

std::wstring FromUtf8(std::string_view text) { return DecodeAll<wchar_t>(text); }

bool IsValidUtf8(std::string_view text) {
  while (!text.empty()) {
    const Utf8Character c = DecodeUtf8(text);
    if (c.length == 0) return false;
    text.remove_prefix(c.length);
  }
  return true;
}

}  // namespace zevuvuri
