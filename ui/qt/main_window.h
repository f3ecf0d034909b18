// The main window on Qt: the dialog of template 102, the upgrade controller
// behind its Acquire button, and CRazazeDeviziDlg carrying its behaviour.
#pragma once

#include <QDialog>
#include <memory>

#include "engine/upgrade_controller.h"
#include "ui/main_dialog.h"
#include "ui/qt/about_box.h"
#include "ui/qt/file_dialog.h"
#include "ui/qt/widget_surface.h"
#include "ui/qt/window_thread_sinks.h"

namespace zevuvuri::ui::qt {

// Thread contract: window thread only. Run it with exec(); once it returns,
// ExitStatus() is the process's exit status, and destroying the window ends
// a running upgrade at once and releases its port.
class QtMainWindow final : public QDialog {
  Q_OBJECT

 public:
  // The window initialises itself from `settings` before it returns; in
  // production mode an upgrade is already under way then.
  explicit QtMainWindow(SettingsFile settings, QWidget* parent = nullptr);
  ~QtMainWindow() override;

  // 0 after a successful upgrade ended the window in production mode, and
  // when an operator closes it in ordinary mode; 1 when it is closed in
  // production mode without a successful upgrade, so that a factory script
  // can tell the two apart.
  int ExitStatus() const;

  // Ends a running upgrade without touching the window (idempotent). The
  // destructor does it; tests call it to time it.
  void ShutDownUpgrade();

  UpgradeController& Upgrade() { return *upgrade_; }
  WindowThreadSinks& Sinks() { return *sinks_; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void EndProcess();
  void OpenAboutBox();

  std::unique_ptr<WidgetSurface> surface_;
  std::unique_ptr<QtFileDialog> file_dialog_;
  std::unique_ptr<QtAboutBoxOpener> about_box_;
  std::unique_ptr<WindowThreadSinks> sinks_;
  std::unique_ptr<UpgradeController> upgrade_;
  std::unique_ptr<ControllerAcquireTarget> acquire_target_;
  std::unique_ptr<CRazazeDeviziDlg> behaviour_;
  bool ended_by_upgrade_ = false;
};

}  // namespace zevuvuri::ui::qt
