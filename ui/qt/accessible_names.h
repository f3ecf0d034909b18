// Accessible names and descriptions on a template-built window's widgets
// (ui/accessible_texts.h), so a screen reader can say what each one is.
#pragma once

#include <span>

#include "ui/accessible_texts.h"
#include "ui/qt/template_dialog.h"

namespace zevuvuri::ui::qt {

// The named ids get their texts; every other control is named by its own
// caption, described as one.
void NameControls(const TemplateWidgets& widgets, std::span<const AccessibleText> texts);

}  // namespace zevuvuri::ui::qt
