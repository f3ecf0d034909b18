// The settings file's values are 8-bit text in the encoding that the
// platform's programs write: UTF-8 on POSIX; on Windows the ANSI code page,
// as the platform's profile reader returns them (a UTF-16 file included, whose
// text that reader converts to the code page too). One implementation per
// platform (setting_text_posix.cpp, setting_text_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/firmware_name.h"

namespace zevuvuri::ui {

// A value as the window shows it.
std::wstring SettingToWindowText(std::string_view value);

// Text read from a UTF-16 file as the 8-bit text that values are kept in.
std::string WindowTextToSetting(std::wstring_view text);

// The file a value names: its bytes as they are on POSIX, where file names
// are bytes (a value that is not UTF-8 still opens its file); on Windows the
// file named by its text in the ANSI code page.
std::optional<FirmwareName> SettingToFirmwareName(std::string_view value);

}  // namespace zevuvuri::ui
