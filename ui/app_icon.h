// The application icon (resource 128), drawn in code so that every toolkit
// realisation shows the same picture: a radio mast sending waves on a blue
// tile. Any size: the window uses 16, 32 and 48 pixels, the installed icon
// theme 16 to 256.
#pragma once

#include <cstdint>
#include <vector>

namespace zevuvuri::ui {

inline constexpr int kApplicationIconSizes[] = {16, 32, 48};

struct IconImage {
  int size = 0;  // square, pixels
  // Row by row from the top, 0xAARRGGBB, alpha not premultiplied.
  std::vector<std::uint32_t> pixels;
};

IconImage DrawApplicationIcon(int size);

}  // namespace zevuvuri::ui
