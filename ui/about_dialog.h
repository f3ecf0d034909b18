// The About box's behaviour: its "Unlock Module Type" check box swaps the
// main window's product list for the raw Type field and back.
#pragma once

#include "ui/control_surface.h"

namespace zevuvuri::ui {

// Thread contract: window thread only. The box keeps no state between
// openings: its check box starts unchecked every time, whatever the main
// window shows.
class CAboutDlg {
 public:
  CAboutDlg(ControlSurface& box, ControlSurface& main_window) : box_(box), main_window_(main_window) {}

  // The check box was clicked (it has already toggled itself).
  void OnUnlockClicked();

 private:
  ControlSurface& box_;
  ControlSurface& main_window_;
};

}  // namespace zevuvuri::ui
