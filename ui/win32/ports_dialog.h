// The small modal dialog that the main window's "Station..." opens: which
// ports the station view takes, as loader.cfg's Ports= lists them.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace zevuvuri::ui::win32 {

constexpr int kPortsFieldId = 1950;

// The ports as typed, or nothing when the operator cancels. `initial`: the
// field's text at first (the main window's COM port).
std::optional<std::wstring> AskForPorts(HINSTANCE instance, HWND owner, const std::wstring& initial);

}  // namespace zevuvuri::ui::win32
