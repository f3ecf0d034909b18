#include "ui/qt/drop_down_combo.h"

#include <QLineEdit>

namespace zevuvuri::ui::qt {

DropDownCombo::DropDownCombo(QWidget* parent) : QComboBox(parent) {
  setEditable(true);
  auto* field = new QLineEdit(this);
  // Connected before setLineEdit, so it runs before the box's own handler
  // that may raise activated(); the one connected after clears the mark.
  connect(field, &QLineEdit::editingFinished, this, [this] { finishing_edit_ = true; });
  setLineEdit(field);
  connect(field, &QLineEdit::editingFinished, this, [this] { finishing_edit_ = false; });
  // The field only shows text: typing neither adds rows nor completes to one.
  setCompleter(nullptr);
  setInsertPolicy(QComboBox::NoInsert);
  connect(this, &QComboBox::activated, this, [this](int row) {
    if (!finishing_edit_) emit rowChosen(row);
  });
}

}  // namespace zevuvuri::ui::qt
