#include "engine/text_encoding.h"
#include "ui/setting_text.h"

namespace zevuvuri::ui {

std::wstring SettingToWindowText(std::string_view value) { return FromUtf8(value); }

std::optional<FirmwareName> SettingToFirmwareName(std::string_view value) { return FirmwareName::FromBytes(value); }

}  // namespace zevuvuri::ui
