// The About box (template 100) on Qt, with CAboutDlg behind its check box.
#pragma once

#include <QDialog>
#include <memory>

#include "ui/about_dialog.h"
#include "ui/main_dialog.h"
#include "ui/qt/widget_surface.h"

namespace zevuvuri::ui::qt {

class QtAboutBox final : public QDialog {
  Q_OBJECT

 public:
  QtAboutBox(QWidget* parent, ControlSurface& main_window);

 private:
  std::unique_ptr<WidgetSurface> surface_;
  std::unique_ptr<CAboutDlg> behaviour_;
};

// Thread contract: window thread only. A new box for every opening.
class QtAboutBoxOpener final : public AboutBoxOpener {
 public:
  explicit QtAboutBoxOpener(QWidget* parent) : parent_(parent) {}
  void RunAboutBox(ControlSurface& main_window) override;

 private:
  QWidget* parent_;
};

}  // namespace zevuvuri::ui::qt
