// The control operations that the window's behaviour needs of a toolkit, on
// controls addressed by id. The Qt realisation works on widgets, the Win32 one
// sends the controls their messages, tests work on an in-memory table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zevuvuri::ui {

constexpr int kNoRow = -1;

enum class CheckState { Unchecked, Checked, Indeterminate };

// Thread contract: window thread only.
class ControlSurface {
 public:
  virtual ~ControlSurface() = default;

  // Caption of a button, label or check box; text of an edit or of a combo
  // box's editable field.
  virtual void SetText(int id, std::wstring_view text) = 0;
  virtual std::wstring Text(int id) const = 0;
  virtual void Show(int id, bool shown) = 0;
  // A control disabled while it has the focus keeps it, as a Windows dialog's
  // does: no key reaches another control meanwhile, and once enabled again it
  // takes keys at once, unless the operator has moved the focus elsewhere.
  virtual void Enable(int id, bool enabled) = 0;
  // The text shown while the pointer rests on the control; empty for none.
  virtual void SetToolTip(int id, std::wstring_view text) = 0;

  // Combo box list.
  virtual void ResetList(int id) = 0;
  // Returns the row index the text got; a sorted list places it by its text.
  virtual int AddRow(int id, std::wstring_view text) = 0;
  // Selects the first row whose text begins with `prefix` (letter case
  // ignored), searching the whole list; no notification is raised. Returns
  // its index, or kNoRow with the selection unchanged.
  virtual int SelectRowByPrefix(int id, std::wstring_view prefix) = 0;
  virtual int SelectedRow(int id) const = 0;  // kNoRow when none

  virtual CheckState Check(int id) const = 0;

  // Progress bar: minimum 0. A position past the maximum shows as full.
  virtual void SetProgressRange(int id, std::uint16_t maximum) = 0;
  virtual void SetProgressPosition(int id, std::uint32_t position) = 0;
};

}  // namespace zevuvuri::ui
