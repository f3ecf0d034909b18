// The station view's dialog for one to eight slots: every control inside the
// window and clear of the others, ids that address one control each, each
// slot's result and the control that the operator uses in the chosen mode in
// the tab order, a field's label just before it. And at 96, 144 and 192 DPI:
// the failure texts fit the result field whole in the font chosen for them,
// and long totals and notes fit their controls.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ui/win32/station_layout.h"

namespace zevuvuri::ui::win32 {
namespace {

bool Overlap(const DluRect& a, const DluRect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

struct Mode {
  bool start_button;
  bool scan_field;
  std::vector<int> tab_stops;
};

class StationLayoutTest : public testing::TestWithParam<Mode> {};

TEST_P(StationLayoutTest, ControlsFitApartAndTabOnlyToWhatTheModeUses) {
  const Mode mode = GetParam();
  for (const std::size_t slots : {1u, 2u, 8u}) {
    SCOPED_TRACE(testing::Message() << slots << " slots");
    StationLayoutOptions options{.ports = {}, .start_button = mode.start_button, .scan_field = mode.scan_field};
    for (std::size_t i = 0; i < slots; ++i) options.ports.push_back("COM" + std::to_string(i + 3));
    const StationLayout layout(options);
    const DialogTemplate& dialog = layout.Dialog();

    std::set<int> ids;
    std::vector<int> tab_stops;
    for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
      const ControlTemplate& c = dialog.controls[i];
      EXPECT_GE(c.rect.x, 0);
      EXPECT_LE(c.rect.x + c.rect.width, dialog.width) << "control " << c.id;
      EXPECT_LE(c.rect.y + c.rect.height, dialog.height) << "control " << c.id;
      for (std::size_t j = 0; j < i; ++j) {
        EXPECT_FALSE(Overlap(c.rect, dialog.controls[j].rect)) << c.id << " over " << dialog.controls[j].id;
      }
      if (c.id != id::kNone) {
        EXPECT_TRUE(ids.insert(c.id).second) << "id " << c.id << " twice";
      }
      if ((c.styles & style::kTabStop) != 0) tab_stops.push_back(c.id);
      if (c.id == station_id::kScan) {
        ASSERT_GT(i, 0u);
        EXPECT_EQ(dialog.controls[i - 1].caption, kScanCaption) << "the scan field's label goes just before it";
      }
    }
    // Each slot's result, in the rows' order, then what the mode uses.
    std::vector<int> expected;
    for (std::size_t slot = 0; slot < slots; ++slot) {
      expected.push_back(station_id::Row(slot, station_id::RowPart::Result));
    }
    expected.insert(expected.end(), mode.tab_stops.begin(), mode.tab_stops.end());
    EXPECT_EQ(tab_stops, expected);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      const ControlTemplate* port = FindControl(dialog, station_id::Row(slot, station_id::RowPart::Port));
      ASSERT_NE(port, nullptr);
      EXPECT_EQ(port->caption, options.ports[slot]);
      EXPECT_NE(FindControl(dialog, station_id::Row(slot, station_id::RowPart::Result)), nullptr);
    }
  }
}

TEST(FittingHeightTest, TheLargestHeightThatFitsOrTheSmallest) {
  EXPECT_EQ(FittingHeight(30, 8, [](int height) { return height <= 17; }), 17);
  EXPECT_EQ(FittingHeight(30, 8, [](int) { return true; }), 30);
  EXPECT_EQ(FittingHeight(30, 8, [](int) { return false; }), 8);
}

// The dialog's 8-point font at `dpi`, and its base units as the dialog
// manager takes them: the average width of the letters, the font's height.
struct DialogFont {
  LOGFONTW font{};
  SIZE base{};
};
DialogFont DialogFontAt(HDC dc, int dpi) {
  DialogFont d;
  d.font.lfHeight = -MulDiv(8, dpi, 72);
  d.font.lfWeight = FW_NORMAL;
  d.font.lfCharSet = DEFAULT_CHARSET;
  wcscpy_s(d.font.lfFaceName, L"MS Shell Dlg");
  const HFONT made = ::CreateFontIndirectW(&d.font);
  const HGDIOBJ old = ::SelectObject(dc, made);
  TEXTMETRICW metrics{};
  ::GetTextMetricsW(dc, &metrics);
  SIZE letters{};
  const wchar_t* alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  ::GetTextExtentPoint32W(dc, alphabet, 52, &letters);
  ::SelectObject(dc, old);
  ::DeleteObject(made);
  d.base = {(letters.cx / 26 + 1) / 2, metrics.tmHeight};
  return d;
}

class ResultFontTest : public testing::TestWithParam<int> {};

// The station window's own steps: the result field's place in pixels, the
// large font (twice the dialog's, bold), made smaller until the text fits
// the field less its inner margin.
TEST_P(ResultFontTest, EveryResultTextFitsItsFieldWhole) {
  const int dpi = GetParam();
  const HDC dc = ::CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  const DialogFont dialog = DialogFontAt(dc, dpi);
  const StationLayout layout(StationLayoutOptions{.ports = {"COM3"}});
  const ControlTemplate* field = FindControl(layout.Dialog(), station_id::Row(0, station_id::RowPart::Result));
  ASSERT_NE(field, nullptr);
  const SIZE box{MulDiv(field->rect.width, dialog.base.cx, 4) - 8, MulDiv(field->rect.height, dialog.base.cy, 8) - 4};
  LOGFONTW large = dialog.font;
  large.lfHeight *= 2;
  large.lfWeight = FW_BOLD;
  const int smallest = std::abs(static_cast<int>(dialog.font.lfHeight));
  for (const std::wstring text : {L"OK", L"upgrading", L"interrupted", L"Write Error", L"Did not get local ACK",
                                  L"Failure : couldn't open file", L"Failure : couldn't initialize COM port"}) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI, text of " << text.size() << " characters");
    const HFONT font = FittingResultFont(dc, large, smallest, text, box);
    ASSERT_NE(font, nullptr);
    LOGFONTW chosen{};
    ::GetObjectW(font, sizeof chosen, &chosen);
    const HGDIOBJ old = ::SelectObject(dc, font);
    RECT needed{0, 0, box.cx, 0};
    ::DrawTextW(dc, text.c_str(), -1, &needed, kResultTextFormat | DT_CALCRECT);
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    EXPECT_LE(needed.right - needed.left, box.cx);
    EXPECT_LE(needed.bottom - needed.top, box.cy) << "font height " << chosen.lfHeight << " in " << box.cy;
    EXPECT_GE(std::abs(static_cast<int>(chosen.lfHeight)), smallest);
    if (text == L"OK") {
      EXPECT_EQ(chosen.lfHeight, large.lfHeight) << "a short text keeps the large font";
    }
  }
  ::DeleteDC(dc);
}

// The totals and the note in the dialog's font: a shift with four kinds of
// failure, and the longest usual notes, wrap within their controls whole.
TEST_P(ResultFontTest, TheTotalsAndTheNoteFitTheirControls) {
  const int dpi = GetParam();
  const HDC dc = ::CreateCompatibleDC(nullptr);
  ASSERT_NE(dc, nullptr);
  DialogFont dialog = DialogFontAt(dc, dpi);
  const HFONT font = ::CreateFontIndirectW(&dialog.font);
  const HGDIOBJ old = ::SelectObject(dc, font);
  const StationLayout layout(StationLayoutOptions{.ports = {"COM3", "COM4"}, .start_button = true});
  struct Text {
    int id;
    int frame;  // pixels of border on each side
    std::wstring text;
  };
  for (const Text& t : std::vector<Text>{
           {station_id::kTotals, 0,
            L"1234 units, 1200 OK, 34 failed (Write Error 12, Did not get local ACK 9, Failure : couldn't open "
            L"file 7, Failure : couldn't initialize COM port 6), yield 97.2 %, 245.0 units/h, mean 14.2 s, "
            L"p95 14.6 s"},
           {station_id::kNote, 1,
            L"no such COM port: \\\\.\\COM31 (the COM ports of this machine: COM1, COM3, COM4, COM5, COM7, "
            L"COM12; give the number alone, such as 3 for COM3; is the module plugged in?)"},
           {station_id::kNote, 1,
            L"scan refused: the scan holds control characters; port COM12 waits for the next scan"},
       }) {
    SCOPED_TRACE(testing::Message() << dpi << " DPI, control " << t.id);
    const ControlTemplate* control = FindControl(layout.Dialog(), t.id);
    ASSERT_NE(control, nullptr);
    const SIZE box{MulDiv(control->rect.width, dialog.base.cx, 4) - 2 * t.frame,
                   MulDiv(control->rect.height, dialog.base.cy, 8) - 2 * t.frame};
    RECT needed{0, 0, box.cx, 0};
    ::DrawTextW(dc, t.text.c_str(), -1, &needed, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    EXPECT_LE(needed.right - needed.left, box.cx);
    EXPECT_LE(needed.bottom - needed.top, box.cy);
  }
  ::SelectObject(dc, old);
  ::DeleteObject(font);
  ::DeleteDC(dc);
}

INSTANTIATE_TEST_SUITE_P(Dpi, ResultFontTest, testing::Values(96, 144, 192));

INSTANTIATE_TEST_SUITE_P(NextUnit, StationLayoutTest,
                         testing::Values(Mode{false, false, {}}, Mode{true, false, {station_id::kStart}},
                                         Mode{false, true, {station_id::kScan}}));

}  // namespace
}  // namespace zevuvuri::ui::win32
