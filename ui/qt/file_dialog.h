// The open-file dialog for the firmware, on Qt's own (non-native) dialog so
// that it looks and behaves the same on every desktop.
#pragma once

#include "ui/main_dialog.h"

class QWidget;

namespace zevuvuri::ui::qt {

// Thread contract: window thread only.
class QtFileDialog final : public FileDialog {
 public:
  explicit QtFileDialog(QWidget* parent) : parent_(parent) {}
  std::optional<std::wstring> ChooseFile(const FileDialogRequest& request) override;

 private:
  QWidget* parent_;
};

}  // namespace zevuvuri::ui::qt
