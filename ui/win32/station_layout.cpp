#include "ui/win32/station_layout.h"

#include <algorithm>

namespace zevuvuri::ui::win32 {
namespace {

using namespace style;
using station_id::RowPart;

// Columns across, in dialog units: port (its counts under it), unit, state,
// progress, result. A line of the 8-point dialog font is 8 units high.
constexpr int kMargin = 7;
// The unit's column holds its number with the "(repeat)" mark and, with
// scans, the serial number under it; the state's holds three lines of a long
// failure text; the result field two lines of its large font.
// 351 units across: a 640-pixel screen holds the window whole.
constexpr DluRect kPortColumn{7, 0, 44, 10};
constexpr DluRect kCountsColumn{7, 0, 44, 18};
constexpr DluRect kUnitColumn{54, 0, 56, 26};
constexpr DluRect kStateColumn{113, 0, 80, 26};
constexpr DluRect kProgressColumn{196, 0, 44, 10};
constexpr DluRect kResultColumn{244, 0, 100, 26};
constexpr int kWidth = kResultColumn.x + kResultColumn.width + kMargin;
constexpr int kHeaderTop = 5;
constexpr int kHeaderLines = 2;
constexpr int kHeadingTop = kHeaderTop + 8 * kHeaderLines + 3;
constexpr int kFirstRowTop = kHeadingTop + 12;
constexpr int kRowHeight = 30;  // the result field and a gap

DluRect At(DluRect column, int top, int offset) { return {column.x, top + offset, column.width, column.height}; }

}  // namespace

StationLayout::StationLayout(const StationLayoutOptions& options) {
  Add(station_id::kHeader, ControlKind::Label, kNoPrefix, "",
      {kMargin, kHeaderTop, kWidth - 2 * kMargin, 8 * kHeaderLines});
  Add(id::kNone, ControlKind::Label, 0, "Port", At(kPortColumn, kHeadingTop, 0));
  Add(id::kNone, ControlKind::Label, 0, "Unit", {kUnitColumn.x, kHeadingTop, kUnitColumn.width, 10});
  Add(id::kNone, ControlKind::Label, 0, "State", {kStateColumn.x, kHeadingTop, kStateColumn.width, 10});
  Add(id::kNone, ControlKind::Label, 0, "Progress", At(kProgressColumn, kHeadingTop, 0));
  Add(id::kNone, ControlKind::Label, kAlignCenter, "Result", {kResultColumn.x, kHeadingTop, kResultColumn.width, 10});

  // Each row's texts start at its result field's top, its progress bar at its middle.
  int top = kFirstRowTop;
  for (std::size_t slot = 0; slot < options.ports.size(); ++slot, top += kRowHeight) {
    Add(station_id::Row(slot, RowPart::Port), ControlKind::Label, kNoPrefix, options.ports[slot],
        At(kPortColumn, top, 0));
    Add(station_id::Row(slot, RowPart::Unit), ControlKind::Label, kNoPrefix, "", At(kUnitColumn, top, 0));
    Add(station_id::Row(slot, RowPart::State), ControlKind::Label, kNoPrefix, "", At(kStateColumn, top, 0));
    Add(station_id::Row(slot, RowPart::Progress), ControlKind::ProgressBar, kBorder, "", At(kProgressColumn, top, 9));
    // A tab stop: Tab brings the keyboard, and a screen reader, to each result.
    Add(station_id::Row(slot, RowPart::Result), ControlKind::Label, kNoPrefix | kAlignCenter | kTabStop, "",
        At(kResultColumn, top, 0));
    Add(station_id::Row(slot, RowPart::Counts), ControlKind::Label, kNoPrefix, "", At(kCountsColumn, top, 10));
  }

  const int full = kWidth - 2 * kMargin;
  top += 2;
  // The totals take three lines (each failure's text is in them), the
  // note three inside its frame (why a port did not open, with the link to
  // make): a static wraps its text, unless centred vertically, which would
  // keep it to one line.
  Add(station_id::kTotals, ControlKind::Label, kNoPrefix, "", {kMargin, top, full, 24});
  Add(station_id::kRecords, ControlKind::Label, kNoPrefix, "", {kMargin, top + 26, full, 10});
  Add(station_id::kNote, ControlKind::Label, kNoPrefix | kBorder, "", {kMargin, top + 38, full, 28});
  top += 70;
  if (options.start_button) {
    Add(station_id::kStart, ControlKind::DefaultPushButton, kTabStop | kGroup, std::string(kStartCaption),
        {kMargin, top, 90, 16});
  }
  if (options.scan_field) {
    // The label just before the field in the template names it for a screen
    // reader, and its mnemonic-free caption stays as written.
    Add(station_id::kScanLabel, ControlKind::Label, kNoPrefix, std::string(kScanCaption), {kMargin, top + 3, 56, 10});
    Add(station_id::kScan, ControlKind::Edit, kBorder | kAutoHScroll | kTabStop | kGroup, "",
        {kMargin + 58, top, 160, 14});
  }
  top += 16;

  dialog_ = DialogTemplate{
      .resource_id = 0,
      .title = kStationTitle,
      .width = kWidth,
      .height = top + kMargin,
      .font_face = "MS Shell Dlg",
      .font_points = 8,
      .minimize_box = true,  // it runs all day beside other windows
      .maximize_box = false,
      .app_window = true,
      .controls = controls_,
  };
}

int FittingHeight(int largest, int smallest, const std::function<bool(int)>& fits) {
  for (int height = largest; height > smallest; --height) {
    if (fits(height)) return height;
  }
  return smallest;
}

HFONT FittingResultFont(HDC dc, const LOGFONTW& font, int smallest, const std::wstring& text, SIZE box) {
  LOGFONTW tried = font;
  const int sign = font.lfHeight < 0 ? -1 : 1;
  const int largest = font.lfHeight < 0 ? -font.lfHeight : font.lfHeight;
  auto measure = [&](int height) {
    tried.lfHeight = sign * height;
    tried.lfWidth = 0;
    const HFONT made = ::CreateFontIndirectW(&tried);
    if (made == nullptr) return false;
    const HGDIOBJ old = ::SelectObject(dc, made);
    RECT needed{0, 0, box.cx, 0};
    ::DrawTextW(dc, text.c_str(), -1, &needed, kResultTextFormat | DT_CALCRECT);
    ::SelectObject(dc, old);
    ::DeleteObject(made);
    return needed.right - needed.left <= box.cx && needed.bottom - needed.top <= box.cy;
  };
  tried.lfHeight = sign * FittingHeight(largest, std::min(smallest, largest), measure);
  tried.lfWidth = 0;
  return ::CreateFontIndirectW(&tried);
}

void StationLayout::Add(int id, ControlKind kind, std::uint32_t styles, std::string caption, DluRect rect) {
  captions_.push_back(std::move(caption));
  controls_.push_back(ControlTemplate{id, kind, styles, captions_.back(), rect});
}

}  // namespace zevuvuri::ui::win32
