// Settings values on POSIX are UTF-8, the file names' own encoding.
#include <gtest/gtest.h>

#include "tests/ui/fake_controls.h"

namespace zevuvuri::ui {
namespace {

TEST(SettingTextPosix, ValuesAreUtf8) {
  testing::FakeMainWindow w("[CONFIG]\nProdmode=1\nComport=/dev/serial/by-id/\xC3\xA9\nFirmware=/srv/F\xC3\xA4sser.bin\n");
  EXPECT_EQ(w.controls[id::kComPort].text, L"/dev/serial/by-id/\u00e9");
  EXPECT_EQ(w.controls[id::kFileName].text, L"/srv/F\u00e4sser.bin");
}

}  // namespace
}  // namespace zevuvuri::ui
