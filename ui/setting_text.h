// The values of an 8-bit settings file are text in the encoding that the
// platform's programs write: UTF-8 on POSIX; on Windows the ANSI code page, as
// the platform's profile reader returns them. (A UTF-16 file's values are
// wide text on both: SettingsFile::ReadText.) One implementation per platform
// (setting_text_posix.cpp, setting_text_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/firmware_name.h"

namespace zevuvuri::ui {

// A value as the window shows it.
std::wstring SettingToWindowText(std::string_view value);

// The file a value names: its bytes as they are on POSIX, where file names
// are bytes (a value that is not UTF-8 still opens its file); on Windows the
// file named by its text in the ANSI code page.
std::optional<FirmwareName> SettingToFirmwareName(std::string_view value);

}  // namespace zevuvuri::ui
