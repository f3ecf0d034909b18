#include "engine/firmware_path.h"

#include "engine/text_encoding.h"

namespace zevuvuri {

std::optional<std::string> NarrowFirmwarePath(std::wstring_view path) {
  if (path.find(L'\0') != std::wstring_view::npos) return std::nullopt;
  auto narrow = ToUtf8(path);
  if (!narrow || narrow->size() >= kFirmwarePathLimit) return std::nullopt;
  return narrow;
}

}  // namespace zevuvuri
