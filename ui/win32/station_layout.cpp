#include "ui/win32/station_layout.h"

namespace zevuvuri::ui::win32 {
namespace {

using namespace style;
using station_id::RowPart;

// Columns across, in dialog units: port, unit, state, progress, result.
constexpr int kMargin = 7;
// The unit's column holds its number and, with scans, its serial number
// under it; the state's holds two lines of a long failure text.
// 351 units across: a 640-pixel screen holds the window whole.
constexpr DluRect kPortColumn{7, 0, 40, 10};
constexpr DluRect kUnitColumn{50, 0, 40, 18};
constexpr DluRect kStateColumn{93, 0, 100, 24};
constexpr DluRect kProgressColumn{196, 0, 44, 10};
constexpr DluRect kResultColumn{244, 0, 100, 26};
constexpr int kWidth = kResultColumn.x + kResultColumn.width + kMargin;
constexpr int kHeadingTop = 7;
constexpr int kFirstRowTop = 19;
constexpr int kRowHeight = 30;  // the result field and a gap

DluRect At(DluRect column, int top, int offset) { return {column.x, top + offset, column.width, column.height}; }

}  // namespace

StationLayout::StationLayout(const StationLayoutOptions& options) {
  Add(id::kNone, ControlKind::Label, 0, "Port", At(kPortColumn, kHeadingTop, 0));
  Add(id::kNone, ControlKind::Label, 0, "Unit", {kUnitColumn.x, kHeadingTop, kUnitColumn.width, 10});
  Add(id::kNone, ControlKind::Label, 0, "State", {kStateColumn.x, kHeadingTop, kStateColumn.width, 10});
  Add(id::kNone, ControlKind::Label, 0, "Progress", At(kProgressColumn, kHeadingTop, 0));
  Add(id::kNone, ControlKind::Label, kAlignCenter, "Result", {kResultColumn.x, kHeadingTop, kResultColumn.width, 10});

  // The texts are vertically centred on the row's result field.
  int top = kFirstRowTop;
  for (std::size_t slot = 0; slot < options.ports.size(); ++slot, top += kRowHeight) {
    Add(station_id::Row(slot, RowPart::Port), ControlKind::Label, kNoPrefix, options.ports[slot],
        At(kPortColumn, top, 9));
    Add(station_id::Row(slot, RowPart::Unit), ControlKind::Label, kNoPrefix, "", At(kUnitColumn, top, 5));
    Add(station_id::Row(slot, RowPart::State), ControlKind::Label, kNoPrefix, "", At(kStateColumn, top, 1));
    Add(station_id::Row(slot, RowPart::Progress), ControlKind::ProgressBar, kBorder, "", At(kProgressColumn, top, 9));
    Add(station_id::Row(slot, RowPart::Result), ControlKind::Label, kNoPrefix | kAlignCenter | kCenterVertically, "",
        At(kResultColumn, top, 0));
  }

  const int full = kWidth - 2 * kMargin;
  top += 2;
  Add(station_id::kTotals, ControlKind::Label, kNoPrefix, "", {kMargin, top, full, 10});
  Add(station_id::kRecords, ControlKind::Label, kNoPrefix, "", {kMargin, top + 12, full, 10});
  Add(station_id::kNote, ControlKind::Label, kNoPrefix | kBorder | kCenterVertically, "", {kMargin, top + 24, full, 14});
  top += 44;
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

void StationLayout::Add(int id, ControlKind kind, std::uint32_t styles, std::string caption, DluRect rect) {
  captions_.push_back(std::move(caption));
  controls_.push_back(ControlTemplate{id, kind, styles, captions_.back(), rect});
}

}  // namespace zevuvuri::ui::win32
