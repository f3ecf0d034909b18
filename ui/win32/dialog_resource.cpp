#include "ui/win32/dialog_resource.h"

#include <windows.h>
#include <commctrl.h>

#include <string>

#include "engine/text_encoding.h"

namespace zevuvuri::ui::win32 {
namespace {

// Predefined window classes of the dialog manager, by ordinal.
constexpr std::uint16_t kButtonClass = 0x0080;
constexpr std::uint16_t kEditClass = 0x0081;
constexpr std::uint16_t kStaticClass = 0x0082;
constexpr std::uint16_t kComboBoxClass = 0x0085;

bool Has(std::uint32_t styles, std::uint32_t one) { return (styles & one) != 0; }

// Appends 16-bit units to a byte-addressed stream.
class Writer {
 public:
  void Word(std::uint16_t w) { units_.push_back(w); }
  void Dword(std::uint32_t d) {
    Word(static_cast<std::uint16_t>(d & 0xFFFF));
    Word(static_cast<std::uint16_t>(d >> 16));
  }
  void Text(std::string_view utf8) {
    for (wchar_t c : FromUtf8(utf8)) Word(static_cast<std::uint16_t>(c));
    Word(0);
  }
  void AlignDword() {
    if (units_.size() % 2 != 0) Word(0);
  }
  std::vector<std::uint32_t> Take() {
    AlignDword();
    std::vector<std::uint32_t> out(units_.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = units_[2 * i] | (static_cast<std::uint32_t>(units_[2 * i + 1]) << 16);
    return out;
  }

 private:
  std::vector<std::uint16_t> units_;
};

}  // namespace

Win32ControlStyle StyleFor(const ControlTemplate& control) {
  const std::uint32_t s = control.styles;
  Win32ControlStyle out;
  out.style = WS_CHILD | WS_VISIBLE;
  if (Has(s, style::kTabStop)) out.style |= WS_TABSTOP;
  if (Has(s, style::kGroup)) out.style |= WS_GROUP;
  if (Has(s, style::kBorder)) out.style |= WS_BORDER;
  if (Has(s, style::kVScroll)) out.style |= WS_VSCROLL;
  switch (control.kind) {
    case ControlKind::PushButton:
      out.class_atom = kButtonClass;
      out.style |= BS_PUSHBUTTON;
      break;
    case ControlKind::DefaultPushButton:
      out.class_atom = kButtonClass;
      out.style |= BS_DEFPUSHBUTTON;
      break;
    case ControlKind::AutoCheckBox:
      out.class_atom = kButtonClass;
      out.style |= BS_AUTOCHECKBOX;
      break;
    case ControlKind::Label:
      out.class_atom = kStaticClass;
      out.style |= Has(s, style::kAlignCenter) ? SS_CENTER : Has(s, style::kAlignRight) ? SS_RIGHT : SS_LEFT;
      if (Has(s, style::kCenterVertically)) out.style |= SS_CENTERIMAGE;
      if (Has(s, style::kNoPrefix)) out.style |= SS_NOPREFIX;
      break;
    case ControlKind::Icon:
      out.class_atom = kStaticClass;
      out.style |= SS_ICON;
      break;
    case ControlKind::Edit:
      out.class_atom = kEditClass;
      out.style |= Has(s, style::kAlignRight) ? ES_RIGHT : Has(s, style::kAlignCenter) ? ES_CENTER : ES_LEFT;
      if (Has(s, style::kAutoHScroll)) out.style |= ES_AUTOHSCROLL;
      break;
    case ControlKind::ProgressBar:
      out.class_name = PROGRESS_CLASSW;
      break;
    case ControlKind::DropDownCombo:
      out.class_atom = kComboBoxClass;
      out.style |= CBS_DROPDOWNLIST;
      if (Has(s, style::kSorted)) out.style |= CBS_SORT;
      break;
  }
  return out;
}

// A popup with caption, system menu and modal frame, centred, in the
// template's font.
std::uint32_t DialogStyle(const DialogTemplate& dialog) {
  std::uint32_t style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
  if (dialog.minimize_box) style |= WS_MINIMIZEBOX;
  if (dialog.maximize_box) style |= WS_MAXIMIZEBOX;
  return style;
}

std::uint32_t DialogExStyle(const DialogTemplate& dialog) { return dialog.app_window ? WS_EX_APPWINDOW : 0; }

std::vector<std::uint32_t> BuildDialogResource(const DialogTemplate& dialog) {
  Writer w;
  w.Dword(DialogStyle(dialog));
  w.Dword(DialogExStyle(dialog));
  w.Word(static_cast<std::uint16_t>(dialog.controls.size()));
  w.Word(0);  // x, y: DS_CENTER places the window
  w.Word(0);
  w.Word(static_cast<std::uint16_t>(dialog.width));
  w.Word(static_cast<std::uint16_t>(dialog.height));
  w.Word(0);  // no menu
  w.Word(0);  // the dialog class
  w.Text(dialog.title);
  w.Word(static_cast<std::uint16_t>(dialog.font_points));
  w.Text(dialog.font_face);

  for (const auto& control : dialog.controls) {
    const Win32ControlStyle s = StyleFor(control);
    w.AlignDword();
    w.Dword(s.style);
    w.Dword(s.ex_style);
    w.Word(static_cast<std::uint16_t>(control.rect.x));
    w.Word(static_cast<std::uint16_t>(control.rect.y));
    w.Word(static_cast<std::uint16_t>(control.rect.width));
    w.Word(static_cast<std::uint16_t>(control.rect.height));
    w.Word(static_cast<std::uint16_t>(control.id == id::kNone ? 0xFFFF : control.id));  // IDC_STATIC is -1
    if (s.class_name != nullptr) {
      for (const wchar_t* p = s.class_name; *p != L'\0'; ++p) w.Word(static_cast<std::uint16_t>(*p));
      w.Word(0);
    } else {
      w.Word(0xFFFF);
      w.Word(s.class_atom);
    }
    if (control.kind == ControlKind::Icon) {
      w.Word(0xFFFF);  // the icon resource by ordinal
      w.Word(static_cast<std::uint16_t>(kApplicationIconId));
    } else {
      w.Text(control.caption);
    }
    w.Word(0);  // no creation data
  }
  return w.Take();
}

}  // namespace zevuvuri::ui::win32
