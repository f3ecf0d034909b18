// The control operations of ui/control_surface.h on the controls of a Win32
// dialog, each one message to the control with that id.
#pragma once

#include <windows.h>

#include "ui/control_surface.h"
#include "ui/win32/accessibility.h"

namespace zevuvuri::ui::win32 {

// Thread contract: the dialog's thread only.
class DialogControls final : public ControlSurface {
 public:
  explicit DialogControls(HWND dialog) : dialog_(dialog) {}

  // Gives the control the focus; a disabled one gets it as Enable keeps it.
  void Focus(int id);
  // Whether the focus waits for a disabled control (Enable): Enter then
  // presses nothing.
  bool KeepsFocusForDisabledControl() const;
  // From now on the status line's accessible name carries its text
  // ("Status: Upgrade OK"), set through `annotations` as the text changes.
  void NameStatusLine(AccessibleAnnotations* annotations);

  void SetText(int id, std::wstring_view text) override;
  std::wstring Text(int id) const override;
  void Show(int id, bool shown) override;
  // A disabled window cannot hold the focus, so the dialog manager drops it:
  // keys then go to the dialog itself, which passes none to a control. The
  // control gets the focus back when it is enabled again, unless the
  // operator has put it elsewhere meanwhile.
  void Enable(int id, bool enabled) override;
  // One tooltip control for the dialog, with one tool per control over the
  // control's place.
  void SetToolTip(int id, std::wstring_view text) override;
  void ResetList(int id) override;
  int AddRow(int id, std::wstring_view text) override;
  int SelectRowByPrefix(int id, std::wstring_view prefix) override;
  int SelectedRow(int id) const override;
  CheckState Check(int id) const override;
  void SetProgressRange(int id, std::uint16_t maximum) override;
  void SetProgressPosition(int id, std::uint32_t position) override;

 private:
  HWND Item(int id) const { return ::GetDlgItem(dialog_, id); }
  // True while the focus is nowhere or on the dialog itself, or on `item`.
  bool FocusIsFree(HWND item) const;

  HWND dialog_;
  HWND tool_tips_ = nullptr;  // made at the first tooltip; the dialog destroys it
  int focus_kept_for_ = 0;    // the disabled control waiting for the focus, or 0
  AccessibleAnnotations* status_names_ = nullptr;  // NameStatusLine
};

}  // namespace zevuvuri::ui::win32
