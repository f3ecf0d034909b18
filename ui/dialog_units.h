// Dialog units to pixels, the way dialog templates are laid out: the dialog
// font's base units are its average letter width and its height, a dialog
// unit is a quarter of the first across and an eighth of the second down.
#pragma once

#include <cstdint>

#include "ui/dialog_templates.h"

namespace zevuvuri::ui {

struct BaseUnits {
  int cx = 0;  // average character width, pixels
  int cy = 0;  // character height, pixels
};

struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The 52 letters whose average width gives the horizontal base unit.
constexpr const char* kBaseUnitAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// `alphabet_width`: width of kBaseUnitAlphabet in the dialog font, pixels;
// the average is rounded half up, as the platform's dialog manager does.
constexpr BaseUnits BaseUnitsFor(int alphabet_width, int font_height) {
  return BaseUnits{(alphabet_width / 26 + 1) / 2, font_height};
}

// value * numerator / denominator rounded to nearest, halves away from zero.
constexpr int MulDivRound(int value, int numerator, int denominator) {
  const std::int64_t product = static_cast<std::int64_t>(value) * numerator;
  const std::int64_t half = denominator / 2;
  const std::int64_t rounded = product >= 0 ? (product + half) / denominator : (product - half) / denominator;
  return static_cast<int>(rounded);
}

constexpr int DluToPixelsX(int dlu, BaseUnits units) { return MulDivRound(dlu, units.cx, 4); }
constexpr int DluToPixelsY(int dlu, BaseUnits units) { return MulDivRound(dlu, units.cy, 8); }

// Each edge is mapped on its own, so neighbouring controls that share an edge
// in dialog units share it in pixels too.
constexpr PixelRect DluToPixels(DluRect rect, BaseUnits units) {
  const int left = DluToPixelsX(rect.x, units);
  const int top = DluToPixelsY(rect.y, units);
  const int right = DluToPixelsX(rect.x + rect.width, units);
  const int bottom = DluToPixelsY(rect.y + rect.height, units);
  return PixelRect{left, top, right - left, bottom - top};
}

}  // namespace zevuvuri::ui
