// The station view's dialog for one to eight slots: every control inside the
// window and clear of the others, ids that address one control each, and
// only the control that the operator uses in the chosen mode in the tab
// order, a field's label just before it.
#include <gtest/gtest.h>

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
    EXPECT_EQ(tab_stops, mode.tab_stops);
    for (std::size_t slot = 0; slot < slots; ++slot) {
      const ControlTemplate* port = FindControl(dialog, station_id::Row(slot, station_id::RowPart::Port));
      ASSERT_NE(port, nullptr);
      EXPECT_EQ(port->caption, options.ports[slot]);
      EXPECT_NE(FindControl(dialog, station_id::Row(slot, station_id::RowPart::Result)), nullptr);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(NextUnit, StationLayoutTest,
                         testing::Values(Mode{false, false, {}}, Mode{true, false, {station_id::kStart}},
                                         Mode{false, true, {station_id::kScan}}));

}  // namespace
}  // namespace zevuvuri::ui::win32
