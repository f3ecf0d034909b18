// Settings values on POSIX are UTF-8, the file names' own encoding; a
// "Firmware" value that is not opens exactly the file its bytes name.
#include <gtest/gtest.h>

#include "tests/ui/fake_controls.h"

namespace zevuvuri::ui {
namespace {

TEST(SettingTextPosix, ValuesAreUtf8) {
  testing::FakeMainWindow w("[CONFIG]\nProdmode=1\nComport=/dev/serial/by-id/\xC3\xA9\nFirmware=/srv/F\xC3\xA4sser.bin\n");
  EXPECT_EQ(w.controls[id::kComPort].text, L"/dev/serial/by-id/\u00e9");
  EXPECT_EQ(w.controls[id::kFileName].text, L"/srv/F\u00e4sser.bin");
  ASSERT_EQ(w.target.calls.size(), 1u);
  ASSERT_TRUE(w.target.calls[0].firmware);
  EXPECT_EQ(w.target.calls[0].firmware->Bytes(), "/srv/F\xC3\xA4sser.bin");
}

TEST(SettingTextPosix, AFirmwareNameThatIsNotUtf8OpensItsOwnBytesUntilTheFieldChanges) {
  testing::FakeMainWindow w("[CONFIG]\nProdmode=1\nFirmware=f\xfcr.bin\n");
  EXPECT_EQ(w.controls[id::kFileName].text, L"f\ufffdr.bin") << "shown with a replacement character";
  ASSERT_EQ(w.target.calls.size(), 1u);
  ASSERT_TRUE(w.target.calls[0].firmware);
  EXPECT_EQ(w.target.calls[0].firmware->Bytes(), "f\xfcr.bin") << "opened as named, not as shown";
  // A name typed into the field (a retry after a failure) is the field's.
  w.controls[id::kFileName].text = L"other.bin";
  w.dialog.OnAcquire();
  ASSERT_EQ(w.target.calls.size(), 2u);
  ASSERT_TRUE(w.target.calls[1].firmware);
  EXPECT_EQ(w.target.calls[1].firmware->Bytes(), "other.bin");
}

}  // namespace
}  // namespace zevuvuri::ui
