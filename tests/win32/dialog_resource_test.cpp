// The in-memory dialog templates, read back field by field the way the
// dialog manager reads them, against the template table: what the Windows
// dialogs are built from is what every other realisation is built from.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "engine/text_encoding.h"
#include "ui/dialog_templates.h"
#include "ui/win32/dialog_resource.h"

namespace zevuvuri::ui::win32 {
namespace {

class Reader {
 public:
  explicit Reader(const std::vector<std::uint32_t>& block)
      : p_(reinterpret_cast<const std::uint16_t*>(block.data())), end_(p_ + block.size() * 2) {}
  std::uint16_t Word() {
    EXPECT_LT(p_, end_) << "read past the block";
    return p_ < end_ ? *p_++ : 0;
  }
  std::uint32_t Dword() {
    const std::uint32_t low = Word();
    return low | (static_cast<std::uint32_t>(Word()) << 16);
  }
  std::wstring Text() {
    std::wstring s;
    for (std::uint16_t w = Word(); w != 0; w = Word()) s.push_back(static_cast<wchar_t>(w));
    return s;
  }
  void AlignDword(const std::vector<std::uint32_t>& block) {
    if ((p_ - reinterpret_cast<const std::uint16_t*>(block.data())) % 2 != 0) ++p_;
  }
  bool AtEnd() const { return p_ == end_; }

 private:
  const std::uint16_t* p_;
  const std::uint16_t* end_;
};

void ExpectMatchesTable(const DialogTemplate& dialog, std::uint32_t dialog_style, std::uint32_t dialog_ex) {
  SCOPED_TRACE(dialog.title);
  const auto block = BuildDialogResource(dialog);
  Reader r(block);
  EXPECT_EQ(r.Dword(), dialog_style);
  EXPECT_EQ(r.Dword(), dialog_ex);
  ASSERT_EQ(r.Word(), dialog.controls.size());
  r.Word();
  r.Word();
  EXPECT_EQ(r.Word(), dialog.width);
  EXPECT_EQ(r.Word(), dialog.height);
  EXPECT_EQ(r.Word(), 0) << "no menu";
  EXPECT_EQ(r.Word(), 0) << "the dialog class";
  EXPECT_EQ(r.Text(), FromUtf8(dialog.title));
  EXPECT_EQ(r.Word(), 8);
  EXPECT_EQ(r.Text(), L"MS Shell Dlg");

  for (const auto& control : dialog.controls) {
    SCOPED_TRACE(control.id);
    r.AlignDword(block);
    const Win32ControlStyle expected = StyleFor(control);
    EXPECT_EQ(r.Dword(), expected.style);
    EXPECT_EQ(r.Dword(), expected.ex_style);
    EXPECT_EQ(r.Word(), control.rect.x);
    EXPECT_EQ(r.Word(), control.rect.y);
    EXPECT_EQ(r.Word(), control.rect.width);
    EXPECT_EQ(r.Word(), control.rect.height);
    EXPECT_EQ(static_cast<std::int16_t>(r.Word()), control.id == id::kNone ? -1 : control.id);
    const std::uint16_t class_first = r.Word();
    if (control.kind == ControlKind::ProgressBar) {
      std::wstring name(1, static_cast<wchar_t>(class_first));
      for (std::uint16_t w = r.Word(); w != 0; w = r.Word()) name.push_back(static_cast<wchar_t>(w));
      EXPECT_EQ(name, PROGRESS_CLASSW);
    } else {
      EXPECT_EQ(class_first, 0xFFFF);
      EXPECT_EQ(r.Word(), expected.class_atom);
    }
    if (control.kind == ControlKind::Icon) {
      EXPECT_EQ(r.Word(), 0xFFFF);
      EXPECT_EQ(r.Word(), kApplicationIconId);
    } else {
      EXPECT_EQ(r.Text(), FromUtf8(control.caption));
    }
    EXPECT_EQ(r.Word(), 0) << "no creation data";
  }
  r.AlignDword(block);
  EXPECT_TRUE(r.AtEnd());
}

TEST(DialogResource, BothDialogsHoldTheTableInTemplateOrder) {
  const std::uint32_t frame = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE;
  ExpectMatchesTable(MainDialogTemplate(), frame, WS_EX_APPWINDOW);
  ExpectMatchesTable(AboutDialogTemplate(), frame, 0);
}

// The styles that the description of each control names, spelled out, so a
// slip in the mapping shows up here and not as a subtly different window.
TEST(DialogResource, ControlsGetTheirWindowsClassesAndStyles) {
  const DWORD child = WS_CHILD | WS_VISIBLE;
  const struct {
    const DialogTemplate& dialog;
    int id;
    std::uint16_t atom;
    DWORD style;
  } cases[] = {
      {MainDialogTemplate(), id::kAcquire, 0x80, child | WS_TABSTOP | BS_PUSHBUTTON},
      {MainDialogTemplate(), id::kComPort, 0x81, child | WS_TABSTOP | WS_BORDER | ES_RIGHT | ES_AUTOHSCROLL},
      {MainDialogTemplate(), id::kType, 0x81, child | WS_TABSTOP | WS_BORDER | ES_RIGHT | ES_AUTOHSCROLL},
      {MainDialogTemplate(), id::kFileName, 0x81, child | WS_TABSTOP | WS_BORDER | ES_LEFT | ES_AUTOHSCROLL},
      {MainDialogTemplate(), id::kStatusLine, 0x82, child | WS_BORDER | SS_CENTER | SS_CENTERIMAGE},
      {MainDialogTemplate(), id::kTypeLabel, 0x82, child | SS_LEFT},
      {MainDialogTemplate(), id::kProductList, 0x85, child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST | CBS_SORT},
      {MainDialogTemplate(), id::kProgress, 0, child | WS_BORDER},
      {AboutDialogTemplate(), id::kOk, 0x80, child | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON},
      {AboutDialogTemplate(), id::kUnlock, 0x80, child | WS_TABSTOP | BS_AUTOCHECKBOX},
  };
  for (const auto& c : cases) {
    const ControlTemplate* control = FindControl(c.dialog, c.id);
    ASSERT_NE(control, nullptr) << c.id;
    const Win32ControlStyle s = StyleFor(*control);
    EXPECT_EQ(s.style, c.style) << c.id;
    EXPECT_EQ(s.class_atom, c.atom) << c.id;
  }
  const auto& about = AboutDialogTemplate().controls;
  EXPECT_EQ(StyleFor(about[0]).style, child | SS_ICON);
  EXPECT_EQ(StyleFor(about[1]).style, child | SS_LEFT | SS_NOPREFIX);
  EXPECT_EQ(StyleFor(about[2]).style, child | WS_GROUP | SS_LEFT);
}

}  // namespace
}  // namespace zevuvuri::ui::win32
