// The common open-file dialog, modal over the main window.
#pragma once

#include <windows.h>

#include <vector>

#include "ui/main_dialog.h"

namespace zevuvuri::ui::win32 {

class OpenFileDialog final : public FileDialog {
 public:
  explicit OpenFileDialog(HWND owner) : owner_(owner) {}
  std::optional<std::wstring> ChooseFile(const FileDialogRequest& request) override;

 private:
  HWND owner_;
  // The name buffer lives as long as the window and keeps the last choice,
  // so the dialog reopens in its folder with its name filled in.
  std::vector<wchar_t> name_buffer_;
};

}  // namespace zevuvuri::ui::win32
