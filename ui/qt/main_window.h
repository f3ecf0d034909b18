// The main window on Qt: the dialog of template 102 and its widgets, with the
// window session behind them.
#pragma once

#include <QDialog>
#include <memory>

#include "ui/qt/about_box.h"
#include "ui/qt/file_dialog.h"
#include "ui/qt/session_end.h"
#include "ui/qt/widget_surface.h"
#include "ui/window_session.h"

namespace zevuvuri::ui::qt {

// Thread contract: window thread only, PostWakeUp excepted (WindowToolkit).
// Run it with exec(); then Finish() ends any upgrade still running, releases its
// port and gives the process's exit status. The destructor does the same.
class QtMainWindow final : public QDialog, private WindowToolkit {
  Q_OBJECT

 public:
  // The window initialises itself from `settings` before it returns; in
  // production mode an upgrade is already under way then.
  explicit QtMainWindow(SettingsFile settings, QWidget* parent = nullptr);
  ~QtMainWindow() override;

  int Finish() { return session_->Finish(); }
  int ExitStatus() const { return session_->ExitStatus(); }
  WindowSession& Session() { return *session_; }

 protected:
  void customEvent(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // WindowToolkit
  bool PostWakeUp() override;
  void CloseWindow() override;

  void OpenAboutBox();
  // "Station...": asks for the ports, then runs the station view over the
  // type and firmware of this window's fields.
  void OpenStation();

  std::unique_ptr<WidgetSurface> surface_;
  std::unique_ptr<QtFileDialog> file_dialog_;
  std::unique_ptr<QtAboutBoxOpener> about_box_;
  std::unique_ptr<WindowSession> session_;
  SettingsFile settings_;  // for the station view's other keys
  // SIGTERM, SIGHUP: the running upgrade stopped as "Yes" to closing would,
  // recorded, its port freed; then the window closes and Finish() gives 130.
  std::unique_ptr<SessionEnd> session_end_;
};

}  // namespace zevuvuri::ui::qt
