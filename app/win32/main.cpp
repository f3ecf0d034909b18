// Start-up of the Windows operator window: the common controls, the settings
// file of the working directory, and the main window, or the station view
// when the file asks for it, run modally; the process ends when it closes.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "ui/settings_file.h"
#include "ui/station_settings.h"
#include "ui/win32/main_window.h"
#include "ui/win32/station_window.h"

namespace {

class CRazazeDeviziApp {
 public:
  explicit CRazazeDeviziApp(HINSTANCE instance) : instance_(instance) {}

  int InitInstance() {
    // The progress bar's class comes with this set.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&controls);
    auto settings = zevuvuri::ui::SettingsFile::Load(std::string(zevuvuri::ui::kSettingsFileName));
    // A station file that cannot run (no ports, an unknown Next=) still
    // opens the view, which says why on its status line.
    if (zevuvuri::ui::StationRequested(settings)) {
      zevuvuri::ui::win32::StationWindow station(instance_);
      return station.Run(settings);
    }
    zevuvuri::ui::win32::MainWindow window(instance_, std::move(settings));
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
