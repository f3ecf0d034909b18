// Start-up of the operator window: the settings file of the working
// directory, the main window run modally, and the exit status it leaves.
#include <QApplication>

#include "ui/qt/app_icon_qt.h"
#include "ui/qt/main_window.h"
#include "ui/qt/station_window.h"
#include "ui/station_settings.h"
#include "ui/settings_file.h"

namespace {

class CRazazeDeviziApp {
 public:
  int Run(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ZE Vuvuri"));
    // Ties the window to its installed desktop entry (menu name and icon).
    QApplication::setDesktopFileName(QStringLiteral("zevuvuri"));
    QApplication::setWindowIcon(zevuvuri::ui::qt::ApplicationIcon());
    // A parentless dialog opens centred on the screen.
    auto settings = zevuvuri::ui::SettingsFile::Load(std::string(zevuvuri::ui::kSettingsFileName));
    // Station=1: the station view, with its own slots and records, instead
    // of the single upgrade's window.
    if (zevuvuri::ui::StationRequested(settings)) {
      zevuvuri::ui::qt::QtStationWindow station(settings);
      station.exec();
      return station.Finish();
    }
    zevuvuri::ui::qt::QtMainWindow window(std::move(settings));
    window.exec();
    // Ends any upgrade still running and joins its worker, so that no thread
    // outlives the window; the status says how the window ended.
    return window.Finish();
  }
};

}  // namespace

int main(int argc, char** argv) {
  CRazazeDeviziApp app;
  return app.Run(argc, argv);
}
