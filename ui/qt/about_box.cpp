#include "ui/qt/about_box.h"

#include <QCheckBox>
#include <QPushButton>

#include "ui/qt/accessible_names.h"
#include "ui/qt/template_dialog.h"

namespace zevuvuri::ui::qt {

QtAboutBox::QtAboutBox(QWidget* parent, ControlSurface& main_window) : QDialog(parent) {
  setObjectName(QString::number(kAboutDialogId));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  TemplateWidgets widgets = BuildFromTemplate(*this, AboutDialogTemplate());
  NameControls(widgets, kAboutBoxAccessibleTexts);
  if (auto* ok = qobject_cast<QPushButton*>(widgets.by_id[id::kOk])) {
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  auto* unlock = qobject_cast<QCheckBox*>(widgets.by_id[id::kUnlock]);
  surface_ = std::make_unique<WidgetSurface>(AboutDialogTemplate(), widgets.by_id);
  behaviour_ = std::make_unique<CAboutDlg>(*surface_, main_window);
  // clicked, not toggled: only the operator's click is the notification.
  if (unlock != nullptr) connect(unlock, &QCheckBox::clicked, this, [this] { behaviour_->OnUnlockClicked(); });
}

void QtAboutBoxOpener::RunAboutBox(ControlSurface& main_window) {
  QtAboutBox box(parent_, main_window);
  box.exec();
}

}  // namespace zevuvuri::ui::qt
