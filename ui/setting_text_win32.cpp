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

// Characters outside the code page become the code page's default character,
// as the profile reader makes them.
std::string WindowTextToSetting(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string value(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), size, value.data(), length, nullptr, nullptr);
  return value;
}

std::optional<FirmwareName> SettingToFirmwareName(std::string_view value) {
  return FirmwareName::FromText(SettingToWindowText(value));
}

}  // namespace zevuvuri::ui
