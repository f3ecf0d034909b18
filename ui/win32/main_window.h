// The operator window on Win32: the main dialog of template 102 and the About
// box of template 100, both modal dialogs built in memory from the template
// table, with CRazazeDeviziDlg and CAboutDlg carrying their behaviour.
#pragma once

#include <windows.h>

#include <memory>

#include "engine/upgrade_controller.h"
#include "ui/main_dialog.h"
#include "ui/settings_file.h"
#include "ui/win32/dialog_controls.h"
#include "ui/win32/file_dialog.h"
#include "ui/win32/window_thread_sinks.h"

namespace zevuvuri::ui::win32 {

// Thread contract: window thread only.
class MainWindow final : public AboutBoxOpener {
 public:
  MainWindow(HINSTANCE instance, SettingsFile settings);
  ~MainWindow() override;

  // Runs the dialog modally and returns when it has closed, with any running
  // upgrade ended and its port released. The result is the process's exit
  // status: 0, or 1 when a production-mode window is closed without a
  // successful upgrade (or the window could not be made at all), so that a
  // factory script can tell the two apart. A
  // successful production upgrade never returns here: it ends the process
  // with status 0 while the window is on screen.
  int RunModal();

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM);
  void OnInitDialog();
  void OnPaint();
  void Close(int result);
  void RunAboutBox(ControlSurface& main_window) override;

  HINSTANCE instance_;
  SettingsFile settings_;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  HWND window_ = nullptr;

  std::unique_ptr<DialogControls> controls_;
  std::unique_ptr<OpenFileDialog> file_dialog_;
  std::unique_ptr<WindowThreadSinks> sinks_;
  std::unique_ptr<UpgradeController> upgrade_;
  std::unique_ptr<ControllerAcquireTarget> acquire_target_;
  std::unique_ptr<CRazazeDeviziDlg> behaviour_;
};

}  // namespace zevuvuri::ui::win32
