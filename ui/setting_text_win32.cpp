#include <windows.h>

#include "ui/setting_text.h"

namespace zevuvuri::ui {

std::wstring SettingToWindowText(std::string_view value) {
  if (value.empty()) return {};
  const int size = static_cast<int>(value.size());
  const int length = ::MultiByteToWideChar(CP_ACP, 0, value.data(), size, nullptr, 0);
  std::wstring text(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, value.data(), size, text.data(), length);
  return text;
}

std::optional<FirmwareName> SettingToFirmwareName(std::string_view value) {
  return FirmwareName::FromText(SettingToWindowText(value));
}

}  // namespace zevuvuri::ui
