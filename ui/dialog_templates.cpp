#include "ui/dialog_templates.h"

#include <array>

#include "zevuvuri_version.h"

namespace zevuvuri::ui {
namespace {

using style::kAlignCenter;
using style::kAlignRight;
using style::kAutoHScroll;
using style::kBorder;
using style::kCenterVertically;
using style::kGroup;
using style::kNoPrefix;
using style::kSorted;
using style::kTabStop;
using style::kVScroll;

constexpr std::array kMainControls{
    ControlTemplate{id::kAcquire, ControlKind::PushButton, kTabStop, "Acquire", {119, 83, 50, 14}},
    ControlTemplate{id::kNone, ControlKind::Label, 0, "COM port:", {35, 11, 34, 8}},
    ControlTemplate{id::kComPort, ControlKind::Edit, kBorder | kAlignRight | kAutoHScroll | kTabStop, "", {71, 9, 18, 14}},
    ControlTemplate{id::kProgress, ControlKind::ProgressBar, kBorder, "", {7, 69, 273, 10}},
    ControlTemplate{id::kType, ControlKind::Edit, kBorder | kAlignRight | kAutoHScroll | kTabStop, "", {210, 7, 24, 14}},
    ControlTemplate{id::kFileName, ControlKind::Edit, kBorder | kAutoHScroll | kTabStop, "", {39, 27, 204, 13}},
    ControlTemplate{id::kBrowse, ControlKind::PushButton, kTabStop, "Browse...", {243, 26, 37, 15}},
    ControlTemplate{id::kStatusLine, ControlKind::Label, kBorder | kAlignCenter | kCenterVertically, "", {37, 46, 205, 19}},
    ControlTemplate{id::kTypeLabel, ControlKind::Label, 0, "Type:", {189, 9, 17, 9}},
    ControlTemplate{id::kNone, ControlKind::Label, 0, "Filename:", {7, 29, 31, 13}},
    // The height is that of the dropped-down list; the closed box takes the font's.
    ControlTemplate{id::kProductList, ControlKind::DropDownCombo, kSorted | kVScroll | kTabStop, "", {167, 9, 80, 18}},
    ControlTemplate{id::kProductLabel, ControlKind::Label, 0, "Product:", {129, 11, 34, 9}},
};

constexpr std::array kAboutControls{
    ControlTemplate{id::kNone, ControlKind::Icon, 0, "", {14, 14, 20, 20}},
    ControlTemplate{id::kNone, ControlKind::Label, kNoPrefix, "ZE Vuvuri, Version " ZEVUVURI_VERSION, {42, 14, 114, 8}},
    ControlTemplate{id::kNone, ControlKind::Label, kGroup, "Radio module firmware loader", {42, 26, 114, 8}},
    ControlTemplate{id::kOk, ControlKind::DefaultPushButton, kGroup | kTabStop, "OK", {113, 51, 50, 14}},
    ControlTemplate{id::kUnlock, ControlKind::AutoCheckBox, kTabStop, "Unlock Module Type", {35, 55, 77, 10}},
};

constexpr DialogTemplate kMainDialog{
    .resource_id = kMainDialogId,
    .title = "ZE Vuvuri V" ZEVUVURI_VERSION,
    .width = 287,
    .height = 104,
    .font_face = "MS Shell Dlg",
    .font_points = 8,
    .minimize_box = false,
    .maximize_box = false,
    .app_window = true,
    .controls = kMainControls,
};

constexpr DialogTemplate kAboutDialog{
    .resource_id = kAboutDialogId,
    .title = "About ZE Vuvuri",
    .width = 170,
    .height = 72,
    .font_face = "MS Shell Dlg",
    .font_points = 8,
    .minimize_box = false,
    .maximize_box = false,
    .app_window = false,
    .controls = kAboutControls,
};

}  // namespace

const DialogTemplate& MainDialogTemplate() { return kMainDialog; }
const DialogTemplate& AboutDialogTemplate() { return kAboutDialog; }

const ControlTemplate* FindControl(const DialogTemplate& dialog, int control_id) {
  if (control_id == id::kNone) return nullptr;
  for (const auto& control : dialog.controls) {
    if (control.id == control_id) return &control;
  }
  return nullptr;
}

}  // namespace zevuvuri::ui
