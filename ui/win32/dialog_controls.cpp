#include "ui/win32/dialog_controls.h"

#include <commctrl.h>

#include <string>

#include "ui/accessible_texts.h"
#include "ui/dialog_templates.h"

namespace zevuvuri::ui::win32 {

// A static's text is a line the operator reads, the status line above all:
// a screen reader is told it changed.
void DialogControls::SetText(int id, std::wstring_view text) {
  const std::wstring terminated(text);
  const HWND item = Item(id);
  ::SetWindowTextW(item, terminated.c_str());
  if (status_names_ != nullptr && id == id::kStatusLine) status_names_->SetName(item, StatusLineName(text));
  wchar_t class_name[8] = {};
  ::GetClassNameW(item, class_name, static_cast<int>(std::size(class_name)));
  if (::lstrcmpiW(class_name, L"Static") == 0) AnnounceTextChange(item);
}

std::wstring DialogControls::Text(int id) const {
  const HWND item = Item(id);
  std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(item)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
  return text;
}

void DialogControls::Show(int id, bool shown) { ::ShowWindow(Item(id), shown ? SW_SHOWNORMAL : SW_HIDE); }

void DialogControls::NameStatusLine(AccessibleAnnotations* annotations) {
  status_names_ = annotations;
  if (status_names_ != nullptr) status_names_->SetName(Item(id::kStatusLine), StatusLineName(Text(id::kStatusLine)));
}

bool DialogControls::FocusIsFree(HWND item) const {
  const HWND focus = ::GetFocus();
  return focus == nullptr || focus == dialog_ || focus == item;
}

// WM_NEXTDLGCTL, not SetFocus: the dialog manager then also marks the button
// that Enter presses.
void DialogControls::Focus(int id) {
  const HWND item = Item(id);
  if (::IsWindowEnabled(item)) {
    ::SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
  } else {
    focus_kept_for_ = id;
  }
}

bool DialogControls::KeepsFocusForDisabledControl() const {
  if (focus_kept_for_ == 0) return false;
  const HWND item = Item(focus_kept_for_);
  return !::IsWindowEnabled(item) && FocusIsFree(item);
}

// While a box over the dialog has the focus, the dialog's own focus is the
// control it had last, most likely this one: kept as well. A disabled control
// that had the focus would leave the window with none (no Tab, no Esc), so
// the dialog itself takes it meanwhile, as the Qt window does.
void DialogControls::Enable(int id, bool enabled) {
  const HWND item = Item(id);
  const HWND focus = ::GetFocus();
  if (!enabled && (focus == item || focus == nullptr || !::IsChild(dialog_, focus))) focus_kept_for_ = id;
  ::EnableWindow(item, enabled ? TRUE : FALSE);
  if (!enabled && focus == item) ::SetFocus(dialog_);
  if (enabled && focus_kept_for_ == id) {
    focus_kept_for_ = 0;
    if (FocusIsFree(item)) ::SendMessageW(dialog_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
  }
}

void DialogControls::SetToolTip(int id, std::wstring_view text) {
  if (tool_tips_ == nullptr) {
    if (text.empty()) return;
    tool_tips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog_, nullptr,
                                   nullptr, nullptr);
    if (tool_tips_ == nullptr) return;
    ::SendMessageW(tool_tips_, TTM_SETMAXTIPWIDTH, 0, 400);  // long reasons wrap
  }
  // A static passes the pointer through to the dialog, so the tool is the
  // control's rectangle in the dialog, which the tooltip watches.
  std::wstring terminated(text);
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_SUBCLASS;
  tool.hwnd = dialog_;
  tool.uId = static_cast<UINT_PTR>(id);
  ::SendMessageW(tool_tips_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  if (text.empty()) return;
  RECT place{};
  ::GetWindowRect(Item(id), &place);
  ::MapWindowPoints(HWND_DESKTOP, dialog_, reinterpret_cast<POINT*>(&place), 2);
  tool.rect = place;
  tool.lpszText = terminated.data();
  ::SendMessageW(tool_tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

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
