// Start-up of the Windows operator window: the common controls, the settings
// file of the working directory, and the main window run modally; the process
// ends when it closes.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ui/settings_file.h"
#include "ui/win32/main_window.h"

namespace {

class CRazazeDeviziApp {
 public:
  explicit CRazazeDeviziApp(HINSTANCE instance) : instance_(instance) {}

  int InitInstance() {
    // The progress bar's class comes with this set.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    zevuvuri::ui::win32::MainWindow window(
        instance_, zevuvuri::ui::SettingsFile::Load(std::string(zevuvuri::ui::kSettingsFileName)));
    return window.RunModal();
  }

 private:
  HINSTANCE instance_;
};

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  CRazazeDeviziApp app(instance);
  return app.InitInstance();
}
