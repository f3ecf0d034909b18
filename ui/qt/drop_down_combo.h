// A combo box with an editable field over a drop-down list, whose rowChosen()
// is the platform's selection-change notification: the operator picked a row
// in the list or with the arrow keys. QComboBox also raises activated() when
// its field loses focus holding a row's exact text; that is an edit of the
// field, which the window does not handle, so it raises no rowChosen().
#pragma once

#include <QComboBox>

namespace zevuvuri::ui::qt {

class DropDownCombo final : public QComboBox {
  Q_OBJECT

 public:
  explicit DropDownCombo(QWidget* parent);

 signals:
  void rowChosen(int row);

 private:
  bool finishing_edit_ = false;
};

}  // namespace zevuvuri::ui::qt
