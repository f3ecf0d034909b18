#include "station/serial_scan.h"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/text_encoding.h"

namespace zevuvuri::station {
namespace {

// C0, DEL and C1.
bool IsControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Unicode's format characters (general category Cf): invisible, yet they
// reorder what a screen shows (U+202E turns "SN-0001" around) or make two
// serials that look alike differ (U+200B), so a label never holds one.
constexpr std::array<std::pair<char32_t, char32_t>, 21> kFormatCharacters{{
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
}};

bool IsFormatCharacter(char32_t c) {
  return std::any_of(kFormatCharacters.begin(), kFormatCharacters.end(),
                     [c](const auto& range) { return c >= range.first && c <= range.second; });
}

// A scanner may pad its label, an operator may type a space first: either
// would otherwise make a second board of the same serial number.
std::string_view TrimBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<std::string> SerialFromScan(std::string_view line, std::string* why) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  line = TrimBlanks(line);
  if (line.empty()) {
    *why = "the scan is empty";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < line.size();) {
    const Utf8Character c = DecodeUtf8(line.substr(i));
    if (c.length == 0) {
      *why = "the scan is not UTF-8 text";
      return std::nullopt;
    }
    if (IsControl(c.value)) {
      *why = "the scan holds control characters";
      return std::nullopt;
    }
    if (IsFormatCharacter(c.value)) {
      *why = "the scan holds invisible format characters (direction or zero-width marks)";
      return std::nullopt;
    }
    i += c.length;
  }
  if (line.size() > kMostSerialBytes) {
    *why = "the scan is longer than " + std::to_string(kMostSerialBytes) + " bytes";
    return std::nullopt;
  }
  return std::string(line);
}

}  // namespace zevuvuri::station
