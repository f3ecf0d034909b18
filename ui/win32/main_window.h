// The operator window on Win32: the main dialog of template 102 and the About
// box of template 100, both modal dialogs built in memory from the template
// table, with the window session behind the main dialog and CAboutDlg behind
// the About box.
#pragma once

#include <windows.h>

#include <memory>

#include "ui/settings_file.h"
#include "ui/win32/accessibility.h"
#include "ui/win32/dialog_controls.h"
#include "ui/win32/file_dialog.h"
#include "ui/window_session.h"

namespace zevuvuri::ui::win32 {

class StationWindow;

// Thread contract: window thread only, PostWakeUp excepted (WindowToolkit).
class MainWindow final : public AboutBoxOpener, private WindowToolkit {
 public:
  MainWindow(HINSTANCE instance, SettingsFile settings);
  ~MainWindow() override;

  // Runs the dialog modally and returns when it has closed, with any running
  // upgrade ended, its worker joined and its port released. The result is the
  // process's exit status (WindowSession::ExitStatus), or 1 when the window
  // could not be made at all.
  int RunModal();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM);
  void OnInitDialog();
  void OnPaint();
  void Describe();
  // The context menu's "Station...": the ports asked for, then the station
  // view over this window until it closes.
  void OnContextMenu(LPARAM where);
  void OpenStation();
  // WM_ENDSESSION: the upgrade stopped and recorded, then the process ends.
  void OnEndSession();
  void RunAboutBox(ControlSurface& main_window) override;

  // WindowToolkit
  bool PostWakeUp() override;
  void CloseWindow() override;

  HINSTANCE instance_;
  SettingsFile settings_;
  SettingsFile station_file_;  // what "Station..." takes from loader.cfg besides the fields
  HICON icon_ = nullptr;
  HWND window_ = nullptr;
  StationWindow* station_ = nullptr;  // the view "Station..." runs over this window, while it runs

  std::unique_ptr<DialogControls> controls_;
  std::unique_ptr<OpenFileDialog> file_dialog_;
  std::unique_ptr<WindowSession> session_;
  std::unique_ptr<AccessibleAnnotations> annotations_;
};

}  // namespace zevuvuri::ui::win32
