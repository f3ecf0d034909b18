#include "ui/qt/drop_down_combo.h"

namespace zevuvuri::ui::qt {

// activated() comes only from the operator's choices, a selection by the
// program raises none.
DropDownCombo::DropDownCombo(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  connect(this, &QComboBox::activated, this, [this](int row) { emit rowChosen(row); });
}

}  // namespace zevuvuri::ui::qt
