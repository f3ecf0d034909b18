#include "engine/text_encoding.h"
#include "ui/setting_text.h"

namespace zevuvuri::ui {

std::wstring SettingToWindowText(std::string_view value) { return FromUtf8(value); }

// The UTF-16 decoder has already replaced lone surrogates, so this never fails.
std::string WindowTextToSetting(std::wstring_view text) { return ToUtf8(text).value_or(std::string()); }

std::optional<FirmwareName> SettingToFirmwareName(std::string_view value) { return FirmwareName::FromBytes(value); }

}  // namespace zevuvuri::ui
