// The dialog templates of ui/dialog_templates.h as the in-memory DLGTEMPLATE
// that DialogBoxIndirectParamW takes, so the Windows dialogs are built from
// the same table as every other realisation.
#pragma once

#include <cstdint>
#include <vector>

#include "ui/dialog_templates.h"

namespace zevuvuri::ui::win32 {

// Window class and styles of one control, as the dialog manager creates it.
struct Win32ControlStyle {
  const wchar_t* class_name = nullptr;  // a registered class by name
  std::uint16_t class_atom = 0;         // or one of the predefined classes by ordinal
  std::uint32_t style = 0;
  std::uint32_t ex_style = 0;
};

Win32ControlStyle StyleFor(const ControlTemplate& control);
std::uint32_t DialogStyle(const DialogTemplate& dialog);
std::uint32_t DialogExStyle(const DialogTemplate& dialog);

// The DLGTEMPLATE with its DLGITEMTEMPLATEs, each DWORD-aligned, in template
// order. Held in DWORDs so that the block itself is aligned as required.
std::vector<std::uint32_t> BuildDialogResource(const DialogTemplate& dialog);

}  // namespace zevuvuri::ui::win32
