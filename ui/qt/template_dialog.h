// Builds a dialog's controls from its template (ui/dialog_templates.h): one
// widget per control, in template order, placed in pixels converted from
// dialog units with the dialog font's own metrics.
#pragma once

#include <QFont>
#include <map>
#include <vector>

#include "ui/dialog_templates.h"
#include "ui/dialog_units.h"

class QDialog;
class QWidget;

namespace zevuvuri::ui::qt {

struct TemplateWidgets {
  BaseUnits units;
  std::map<int, QWidget*> by_id;  // controls that have an id
  std::vector<QWidget*> in_order;  // every control, template order
};

// The template's font. Where its face is missing, as the Windows dialog face
// is on Linux, the closest installed sans face stands in; the layout follows
// that face's metrics, so captions keep their room.
QFont DialogFont(const DialogTemplate& dialog);
BaseUnits BaseUnitsOf(const QFont& font);

// Creates the controls as children of `dialog`, sets its title, font and
// fixed client size. Each control's object name is its id in decimal ("1001")
// so that tests and tools find it by the id the behaviour uses.
TemplateWidgets BuildFromTemplate(QDialog& dialog, const DialogTemplate& dialog_template);

}  // namespace zevuvuri::ui::qt
