// The control operations of ui/control_surface.h on the controls of a Win32
// dialog, each one message to the control with that id.
#pragma once

#include <windows.h>

#include "ui/control_surface.h"

namespace zevuvuri::ui::win32 {

// Thread contract: the dialog's thread only.
class DialogControls final : public ControlSurface {
 public:
  explicit DialogControls(HWND dialog) : dialog_(dialog) {}

  void SetText(int id, std::wstring_view text) override;
  std::wstring Text(int id) const override;
  void Show(int id, bool shown) override;
  void Enable(int id, bool enabled) override;
  void ResetList(int id) override;
  int AddRow(int id, std::wstring_view text) override;
  int SelectRowByPrefix(int id, std::wstring_view prefix) override;
  int SelectedRow(int id) const override;
  CheckState Check(int id) const override;
  void SetProgressRange(int id, std::uint16_t maximum) override;
  void SetProgressPosition(int id, std::uint32_t position) override;

 private:
  HWND Item(int id) const { return ::GetDlgItem(dialog_, id); }

  HWND dialog_;
};

}  // namespace zevuvuri::ui::win32
