#include "ui/dialog_units.h"

#include <gtest/gtest.h>

namespace zevuvuri::ui {
namespace {

TEST(DialogUnits, BaseUnitsRoundTheAverageLetterWidth) {
  EXPECT_EQ(BaseUnitsFor(353, 13).cx, 7);  // 6.79 -> 7
  EXPECT_EQ(BaseUnitsFor(311, 13).cx, 6);  // 5.98 -> 6
  EXPECT_EQ(BaseUnitsFor(286, 13).cx, 6);  // 5.5 rounds up
  EXPECT_EQ(BaseUnitsFor(285, 13).cx, 5);  // 5.48
  EXPECT_EQ(BaseUnitsFor(353, 13).cy, 13);
}

TEST(DialogUnits, EdgesAreMappedOnTheirOwn) {
  const BaseUnits units{6, 13};
  // The main window, 287 x 104 units, with the common 6 x 13 font.
  EXPECT_EQ(DluToPixelsX(287, units), 431);  // 430.5 rounds away from zero
  EXPECT_EQ(DluToPixelsY(104, units), 169);
  // The "Type:" label: 189..206 across, 9..18 down.
  const PixelRect r = DluToPixels({189, 9, 17, 9}, units);
  EXPECT_EQ(r.x, 284);
  EXPECT_EQ(r.width, 309 - 284);
  EXPECT_EQ(r.y, 15);
  EXPECT_EQ(r.height, 29 - 15);
  // Neighbours that share an edge in units share it in pixels.
  const PixelRect left = DluToPixels({7, 29, 31, 13}, BaseUnits{7, 13});
  const PixelRect right = DluToPixels({38, 27, 205, 13}, BaseUnits{7, 13});
  EXPECT_EQ(left.x + left.width, right.x);
  EXPECT_EQ(MulDivRound(-3, 6, 4), -5);  // halves go away from zero on both sides
}

}  // namespace
}  // namespace zevuvuri::ui
