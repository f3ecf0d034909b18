#include "ui/win32/dialog_controls.h"

#include <commctrl.h>

#include <string>

namespace zevuvuri::ui::win32 {

void DialogControls::SetText(int id, std::wstring_view text) {
  const std::wstring terminated(text);
  ::SetWindowTextW(Item(id), terminated.c_str());
}

std::wstring DialogControls::Text(int id) const {
  const HWND item = Item(id);
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(item)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
  return text;
}

void DialogControls::Show(int id, bool shown) { ::ShowWindow(Item(id), shown ? SW_SHOWNORMAL : SW_HIDE); }

void DialogControls::Enable(int id, bool enabled) { ::EnableWindow(Item(id), enabled ? TRUE : FALSE); }

void DialogControls::ResetList(int id) { ::SendMessageW(Item(id), CB_RESETCONTENT, 0, 0); }

int DialogControls::AddRow(int id, std::wstring_view text) {
  const std::wstring terminated(text);
  const LRESULT row = ::SendMessageW(Item(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(terminated.c_str()));
  return row < 0 ? kNoRow : static_cast<int>(row);
}

// -1: search the whole list, from its first row.
int DialogControls::SelectRowByPrefix(int id, std::wstring_view prefix) {
  const std::wstring terminated(prefix);
  const LRESULT row =
      ::SendMessageW(Item(id), CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(terminated.c_str()));
  return row == CB_ERR ? kNoRow : static_cast<int>(row);
}

int DialogControls::SelectedRow(int id) const {
  const LRESULT row = ::SendMessageW(Item(id), CB_GETCURSEL, 0, 0);
  return row == CB_ERR ? kNoRow : static_cast<int>(row);
}

CheckState DialogControls::Check(int id) const {
  switch (::SendMessageW(Item(id), BM_GETCHECK, 0, 0)) {
    case BST_UNCHECKED: return CheckState::Unchecked;
    case BST_CHECKED: return CheckState::Checked;
    default: return CheckState::Indeterminate;
  }
}

// Minimum in the low word, maximum in the high word.
void DialogControls::SetProgressRange(int id, std::uint16_t maximum) {
  ::SendMessageW(Item(id), PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
}

void DialogControls::SetProgressPosition(int id, std::uint32_t position) {
  ::SendMessageW(Item(id), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

}  // namespace zevuvuri::ui::win32
