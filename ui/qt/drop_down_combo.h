// A combo box that is a list which drops down, with no field to type into:
// the row it shows is the row chosen, so the type code that the choice wrote
// is the product shown. rowChosen() is the platform's selection-change
// notification: the operator picked a row in the list, with the arrow keys
// or by typing the start of its text.
#pragma once

#include <QComboBox>

namespace zevuvuri::ui::qt {

class DropDownCombo final : public QComboBox {
  Q_OBJECT

 public:
  explicit DropDownCombo(QWidget* parent);

 signals:
  void rowChosen(int row);
};

}  // namespace zevuvuri::ui::qt
