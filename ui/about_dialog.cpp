#include "ui/about_dialog.h"

#include "ui/dialog_templates.h"

namespace zevuvuri::ui {

// Only visibility changes: the Type field keeps the code the next upgrade
// will use, the list keeps its selection, nothing is enabled or disabled.
void CAboutDlg::OnUnlockClicked() {
  const bool unlocked = box_.Check(id::kUnlock) != CheckState::Unchecked;
  main_window_.Show(id::kTypeLabel, unlocked);
  main_window_.Show(id::kType, unlocked);
  main_window_.Show(id::kProductLabel, !unlocked);
  main_window_.Show(id::kProductList, !unlocked);
}

}  // namespace zevuvuri::ui
