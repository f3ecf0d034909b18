#include "station/serial_scan.h"

namespace zevuvuri::station {
namespace {

// The length of the UTF-8 sequence at `s`, 0 when it is none (overlong
// forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2, value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3, value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4, value = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(i) & 0x3F);
  }
  if ((n == 3 && value < 0x800) || (n == 4 && value < 0x10000) || value > 0x10FFFF ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return 0;
  }
  return n;
}

}  // namespace

std::optional<std::string> SerialFromScan(std::string_view line, std::string* why) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) {
    *why = "the scan is empty";
    return std::nullopt;
  }
  for (std::size_t i = 0; i < line.size();) {
    const std::size_t n = Utf8Length(line.substr(i));
    if (n == 0) {
      *why = "the scan is not UTF-8 text";
      return std::nullopt;
    }
    // C0, DEL and the C1 controls (U+0080..U+009F, C2 80..C2 9F in UTF-8).
    const auto lead = static_cast<unsigned char>(line[i]);
    const bool control = lead < 0x20 || lead == 0x7F || (n == 2 && lead == 0xC2 &&
                                                         static_cast<unsigned char>(line[i + 1]) < 0xA0);
    if (control) {
      *why = "the scan holds control characters";
      return std::nullopt;
    }
    i += n;
  }
  if (line.size() > kMostSerialBytes) {
    *why = "the scan is longer than " + std::to_string(kMostSerialBytes) + " bytes";
    return std::nullopt;
  }
  return std::string(line);
}

}  // namespace zevuvuri::station
