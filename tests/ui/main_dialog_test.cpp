#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/ui/fake_controls.h"

namespace zevuvuri::ui {
namespace {

using Window = testing::FakeMainWindow;

TEST(MainDialogInit, WithoutSettingsFile) {
  Window w;
  EXPECT_EQ(w.target.production_flag, false);
  EXPECT_TRUE(w.target.calls.empty());
  EXPECT_EQ(w.controls[id::kComPort].text, L"1");
  EXPECT_EQ(w.controls[id::kFileName].text, L"REDIDADU.bin");
  EXPECT_EQ(w.controls[id::kType].text, L"0");
  EXPECT_FALSE(w.Shown(id::kType));
  EXPECT_FALSE(w.Shown(id::kTypeLabel));
  EXPECT_TRUE(w.Shown(id::kProductList));
  EXPECT_TRUE(w.Shown(id::kProductLabel));
  EXPECT_TRUE(w.controls[id::kProductList].enabled);
  EXPECT_EQ(w.controls[id::kProductList].rows,
            (std::vector<std::wstring>{L"QM-A EVB", L"QM-B EVB", L"QM-C EVB", L"QM-D EVB", L"QM-E EVB"}));
  EXPECT_EQ(w.controls[id::kProductList].selected, 0);
  EXPECT_EQ(w.controls[id::kProductList].text, L"QM-A EVB");
  EXPECT_EQ(w.controls[id::kStatusLine].text, L"");
  EXPECT_EQ(w.controls[id::kAcquire].text, L"Acquire");
  EXPECT_TRUE(w.controls[id::kAcquire].enabled);
  EXPECT_TRUE(w.Shown(id::kBrowse));
  EXPECT_TRUE(w.controls[id::kComPort].enabled && w.controls[id::kType].enabled && w.controls[id::kFileName].enabled);
}

TEST(MainDialogInit, TypeOtherThanZeroShowsTheRawField) {
  struct Case {
    const char* settings;
    const wchar_t* type_text;
    bool raw_field;
  };
  const Case cases[] = {
      {"[CONFIG]\nType=8\n", L"8", true},  // a row's code, still the raw field
      {"[CONFIG]\nType=00\n", L"00", true},  // not exactly "0"
      {"[CONFIG]\nType= 0 \n", L"0", false},  // blanks are the reader's, not the value's
      {"[CONFIG]\nType=\n", L"", true},
  };
  for (const auto& c : cases) {
    Window w(c.settings);
    SCOPED_TRACE(c.settings);
    EXPECT_EQ(w.controls[id::kType].text, c.type_text);
    EXPECT_EQ(w.Shown(id::kType), c.raw_field);
    EXPECT_EQ(w.Shown(id::kTypeLabel), c.raw_field);
    EXPECT_EQ(w.Shown(id::kProductList), !c.raw_field);
    EXPECT_EQ(w.Shown(id::kProductLabel), !c.raw_field);
  }
}

TEST(MainDialogInit, ComportAndFirmwareSettings) {
  Window w("[CONFIG]\nComport=/dev/ttyUSB0\nFirmware=other.bin\n");
  EXPECT_EQ(w.controls[id::kComPort].text, L"/dev/ttyUSB0");
  // Firmware is read only in production mode.
  EXPECT_EQ(w.controls[id::kFileName].text, L"REDIDADU.bin");
}

TEST(MainDialogInit, ProdmodeValues) {
  struct Case {
    const char* settings;
    bool production;
  };
  const Case cases[] = {
      {"[CONFIG]\nProdmode=1\n", true},   {"[CONFIG]\nProdmode=2\n", true},
      {"[CONFIG]\nProdmode=\n", true},    {"[CONFIG]\nProdmode=0abc\n", false},
      {"[CONFIG]\nProdmode=0\n", false},  {"[CONFIG]\nType=1\n", false},
  };
  for (const auto& c : cases) {
    Window w(c.settings);
    SCOPED_TRACE(c.settings);
    EXPECT_EQ(w.target.production_flag, c.production);
    EXPECT_EQ(w.dialog.ProductionMode(), c.production);
    EXPECT_EQ(w.target.calls.size(), c.production ? 1u : 0u);
    EXPECT_EQ(w.Shown(id::kBrowse), !c.production);
  }
}

TEST(MainDialogProduction, ProdmodeAloneStartsOnPortOneWithBothPairsShown) {
  Window w("[CONFIG]\nProdmode=1\n");
  ASSERT_EQ(w.target.calls.size(), 1u);
  const auto& call = w.target.calls[0];
  EXPECT_EQ(call.port, L"1");
  EXPECT_EQ(call.type, L"0");
  EXPECT_EQ(call.file, L"REDIDADU.bin");
  EXPECT_TRUE(call.fields_enabled);  // locked only after the start

  EXPECT_TRUE(w.Shown(id::kType));
  EXPECT_TRUE(w.Shown(id::kTypeLabel));
  EXPECT_TRUE(w.Shown(id::kProductList));
  EXPECT_TRUE(w.Shown(id::kProductLabel));
  EXPECT_FALSE(w.controls[id::kComPort].enabled);
  EXPECT_FALSE(w.controls[id::kType].enabled);
  EXPECT_FALSE(w.controls[id::kFileName].enabled);
  EXPECT_TRUE(w.controls[id::kProductList].enabled);
  EXPECT_FALSE(w.Shown(id::kBrowse));
}

TEST(MainDialogProduction, FieldsComeFromTheFile) {
  Window w("[CONFIG]\nProdmode=1\nType=24\nComport=3\nFirmware=/srv/fw/qm-d.bin\n");
  ASSERT_EQ(w.target.calls.size(), 1u);
  EXPECT_EQ(w.target.calls[0].port, L"3");
  EXPECT_EQ(w.target.calls[0].type, L"24");
  EXPECT_EQ(w.target.calls[0].file, L"/srv/fw/qm-d.bin");
  // The "Type" read hid the product pair before the production start.
  EXPECT_TRUE(w.Shown(id::kType));
  EXPECT_FALSE(w.Shown(id::kProductList));
  EXPECT_FALSE(w.Shown(id::kProductLabel));

  // The list stays usable and rewrites the locked Type field; the next press
  // of the button uses it.
  w.controls.ChooseRow(id::kProductList, 2);
  w.dialog.OnProductSelectionChange();
  w.dialog.OnAcquire();
  ASSERT_EQ(w.target.calls.size(), 2u);
  EXPECT_EQ(w.target.calls[1].type, L"9");
  EXPECT_FALSE(w.target.calls[1].fields_enabled);
}

TEST(MainDialogSettings, PacingIsFastForFastInAnyLetterCase) {
  const std::pair<const char*, Pacing> cases[] = {
      {"[CONFIG]\n", Pacing::Classic},
      {"[CONFIG]\nPacing=fast\n", Pacing::Fast},
      {"[config]\n pacing = \"fast\" \n", Pacing::Fast},  // read like every other key
      {"[CONFIG]\nPacing=Fast\n", Pacing::Fast},
      {"[CONFIG]\nPacing=FAST\n", Pacing::Fast},
      {"[CONFIG]\nPacing=Classic\n", Pacing::Classic},
      {"[CONFIG]\nPacing=quick\n", Pacing::Classic},
      {"[CONFIG]\nPacing=fast!\n", Pacing::Classic},
  };
  for (const auto& [settings, pacing] : cases) {
    Window w(settings);
    EXPECT_EQ(w.target.pacing, pacing) << settings;
  }
}

// A settings file saved as UTF-16, with the byte-order mark that editors
// write, reads as the text it holds: production mode on, the path exact,
// also where it leaves the ANSI code page (on Windows).
TEST(MainDialogProduction, AUtf16SettingsFileGivesItsValues) {
  const std::u16string text =
      u"[CONFIG]\r\nProdmode=1\r\nComport=3\r\nFirmware=C:\\Fw\\F\u00e4sser \u56fa\u4ef6.bin\r\n";
  for (const bool big_endian : {false, true}) {
    SCOPED_TRACE(big_endian ? "big-endian" : "little-endian");
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
      const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
      bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    Window w(SettingsFile::Parse(bytes));
    ASSERT_EQ(w.target.calls.size(), 1u);
    EXPECT_EQ(w.target.calls[0].port, L"3");
    EXPECT_EQ(w.target.calls[0].file, L"C:\\Fw\\F\u00e4sser \u56fa\u4ef6.bin");
  }
}

TEST(MainDialogProductList, RowsWriteTheirCodesIntoTheTypeField) {
  Window w;
  const wchar_t* expected[] = {L"0", L"8", L"9", L"24", L"10"};
  for (int row : {3, 0, 1, 4, 2}) {
    w.controls.ChooseRow(id::kProductList, row);
    w.dialog.OnProductSelectionChange();
    EXPECT_EQ(w.controls[id::kType].text, expected[row]) << "row " << row;
    EXPECT_FALSE(w.Shown(id::kType));  // written while hidden
  }
  // No selection writes "0", as does any index outside the table.
  w.controls.ChooseRow(id::kProductList, 3);
  w.dialog.OnProductSelectionChange();
  w.controls.ChooseRow(id::kProductList, kNoRow);
  w.dialog.OnProductSelectionChange();
  EXPECT_EQ(w.controls[id::kType].text, L"0");
  EXPECT_EQ(TypeCodeForRow(5), L"0");
  EXPECT_EQ(TypeCodeForRow(-7), L"0");
}

TEST(MainDialogAcquire, HandsTheFieldTextsOverEvenWithTheTypeFieldHidden) {
  Window w;
  w.controls[id::kComPort].text = L"/dev/pts/9";
  w.controls[id::kFileName].text = L"fw.hex";
  w.controls.ChooseRow(id::kProductList, 3);
  w.dialog.OnProductSelectionChange();
  w.dialog.OnAcquire();
  w.dialog.OnAcquire();  // the second press is the controller's to interpret
  ASSERT_EQ(w.target.calls.size(), 2u);
  EXPECT_EQ(w.target.calls[0].port, L"/dev/pts/9");
  EXPECT_EQ(w.target.calls[0].type, L"24");
  EXPECT_EQ(w.target.calls[0].file, L"fw.hex");
}

TEST(MainDialogBrowse, RemembersTheLastChoiceAndIgnoresACancel) {
  Window w;
  w.files.answers = {std::wstring(L"/home/op/fw/first.bin"), std::nullopt, std::wstring(L"/tmp/second.hex"),
                     std::wstring(kFileNameCapacity, L'x')};
  w.dialog.OnBrowse();
  EXPECT_EQ(w.controls[id::kFileName].text, L"/home/op/fw/first.bin");
  w.dialog.OnBrowse();  // cancelled
  EXPECT_EQ(w.controls[id::kFileName].text, L"/home/op/fw/first.bin");
  w.dialog.OnBrowse();
  EXPECT_EQ(w.controls[id::kFileName].text, L"/tmp/second.hex");
  w.dialog.OnBrowse();  // a path that does not fit the name buffer is no choice
  EXPECT_EQ(w.controls[id::kFileName].text, L"/tmp/second.hex");

  ASSERT_EQ(w.files.openings.size(), 4u);
  EXPECT_EQ(w.files.openings[0].initial_path, L"");
  EXPECT_EQ(w.files.openings[1].initial_path, L"/home/op/fw/first.bin");
  EXPECT_EQ(w.files.openings[2].initial_path, L"/home/op/fw/first.bin");
  EXPECT_EQ(w.files.openings[3].initial_path, L"/tmp/second.hex");
  EXPECT_EQ(w.files.openings[0].filter_label, L"Bin file (*.bin)");
  EXPECT_EQ(w.files.openings[0].filter_patterns, L"*.bin;*.hex");
  EXPECT_EQ(w.files.openings[0].capacity, 1024u);
}

TEST(MainDialogSysCommand, SixteenToThirtyOneOpenTheAboutBox) {
  Window w;
  for (unsigned command = 0; command < 0x40; ++command) {
    const int before = w.about.openings;
    const bool about = command >= 16 && command <= 31;
    EXPECT_EQ(w.dialog.OnSysCommand(command), about) << command;
    EXPECT_EQ(w.about.openings, before + (about ? 1 : 0)) << command;
  }
  // The platform's own commands (close, move) are left to it.
  EXPECT_FALSE(w.dialog.OnSysCommand(0xF060));
  EXPECT_FALSE(w.dialog.OnSysCommand(0xF010));
}

}  // namespace
}  // namespace zevuvuri::ui
