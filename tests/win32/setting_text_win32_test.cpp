// Settings values on Windows are bytes in the ANSI code page, as the
// platform's profile reader returns them: a station's loader.cfg written for
// the old tool reads the same.
#include <gtest/gtest.h>
#include <windows.h>

#include "tests/ui/fake_controls.h"

namespace zevuvuri::ui {
namespace {

TEST(SettingTextWin32, ValuesAreInTheAnsiCodePage) {
  // The test prefix's code page, Western European; the bytes below are its.
  ASSERT_EQ(::GetACP(), 1252u);
  testing::FakeMainWindow w("[CONFIG]\r\nProdmode=1\r\nType=\xB5\r\nFirmware=C:\\Fw\\F\xE4sser \x80.bin\r\n");
  EXPECT_EQ(w.controls[id::kFileName].text, L"C:\\Fw\\F\u00e4sser \u20ac.bin");
  EXPECT_EQ(w.controls[id::kType].text, L"\u00b5");
}

}  // namespace
}  // namespace zevuvuri::ui
