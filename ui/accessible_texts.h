// What a screen reader says of each control of the main window and the About
// box: its accessible name (what it is) and description (what it does), the
// same words on every toolkit. The status line's name also carries its text
// as it changes (StatusLineName), so a reader hears each new status.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ui/dialog_templates.h"

namespace zevuvuri::ui {

struct AccessibleText {
  int id;
  std::wstring_view name;
  std::wstring_view description;
};

inline constexpr std::array kMainWindowAccessibleTexts = {
    AccessibleText{id::kStatusLine, L"Status", L"What the upgrade is doing, or how it ended"},
    AccessibleText{id::kAcquire, L"Acquire", L"Starts the upgrade; while the module waits over the air, confirms it"},
    AccessibleText{id::kComPort, L"COM port", L"Number of the serial port the module is on, or a device path"},
    AccessibleText{id::kType, L"Type", L"Module type code, as a decimal number"},
    AccessibleText{id::kProgress, L"Progress", L"Share of the firmware sent to the module"},
    AccessibleText{id::kFileName, L"Firmware file", L"Path of the firmware file to send"},
    AccessibleText{id::kBrowse, L"Browse", L"Chooses the firmware file"},
    AccessibleText{id::kTypeLabel, L"Type:", L"Caption of the Type field"},
    AccessibleText{id::kProductList, L"Product", L"Evaluation board to upgrade; sets the module type code"},
    AccessibleText{id::kProductLabel, L"Product:", L"Caption of the product list"},
};

inline constexpr std::array kAboutBoxAccessibleTexts = {
    AccessibleText{id::kOk, L"OK", L"Closes the About box"},
    AccessibleText{id::kUnlock, L"Unlock Module Type",
                   L"Shows the raw Type field in place of the product list, and back"},
};

// A control without an id (a caption, the icon) is named by its caption.
inline constexpr std::wstring_view kCaptionDescription = L"Caption";

// "Status: Upgrade OK"; "Status" alone while the line is empty.
inline std::wstring StatusLineName(std::wstring_view text) {
  return text.empty() ? std::wstring(L"Status") : L"Status: " + std::wstring(text);
}

}  // namespace zevuvuri::ui
