#include "engine/firmware_name.h"

#include "engine/text_encoding.h"

namespace zevuvuri {

std::optional<FirmwareName> FirmwareName::FromBytes(std::string_view bytes) {
  if (bytes.find('\0') != std::string_view::npos || bytes.size() >= kFirmwarePathLimit) return std::nullopt;
  return FirmwareName(std::string(bytes));
}

std::optional<FirmwareName> FirmwareName::FromText(std::wstring_view text) {
  const auto utf8 = ToUtf8(text);
  if (!utf8) return std::nullopt;
  return FromBytes(*utf8);
}

std::string FirmwareName::ForDisplay() const { return *ToUtf8(FromUtf8(bytes_)); }

}  // namespace zevuvuri
