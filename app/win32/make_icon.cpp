// Writes the application icon (resource 128) as an .ico file: the picture of
// ui/app_icon.cpp at 16, 32 and 48 pixels, each in 16 colours, 256 colours
// and 24-bit colour, with a transparency mask. Built for and run on the build
// host while the Windows executable is built.
//   make_icon OUTPUT.ico
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "ui/app_icon.h"

namespace {

using zevuvuri::ui::DrawApplicationIcon;
using zevuvuri::ui::IconImage;
using zevuvuri::ui::kApplicationIconSizes;

struct Rgb {
  int r, g, b;
};

// The 16 colours every display shows.
std::vector<Rgb> Palette16() {
  return {{0, 0, 0},     {128, 0, 0},   {0, 128, 0},   {128, 128, 0}, {0, 0, 128},   {128, 0, 128},
          {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
          {0, 0, 255},   {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
}

// A 6 x 6 x 6 colour cube and 40 greys.
std::vector<Rgb> Palette256() {
  std::vector<Rgb> p;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) p.push_back({r * 51, g * 51, b * 51});
  for (int i = 0; i < 40; ++i) p.push_back({i * 255 / 39, i * 255 / 39, i * 255 / 39});
  return p;
}

int Nearest(const std::vector<Rgb>& palette, Rgb c) {
  int best = 0;
  long best_distance = -1;
  for (int i = 0; i < static_cast<int>(palette.size()); ++i) {
    const long dr = palette[i].r - c.r, dg = palette[i].g - c.g, db = palette[i].b - c.b;
    const long d = dr * dr * 3 + dg * dg * 4 + db * db * 2;
    if (best_distance < 0 || d < best_distance) {
      best_distance = d;
      best = i;
    }
  }
  return best;
}

void Put16(std::vector<std::uint8_t>* out, unsigned v) {
  out->push_back(static_cast<std::uint8_t>(v));
  out->push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>* out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::size_t RowBytes(int width, int bits) { return static_cast<std::size_t>((width * bits + 31) / 32 * 4); }

// One icon image: header, palette, colour rows and mask rows, bottom-up.
std::vector<std::uint8_t> Image(const IconImage& icon, int bits) {
  const int size = icon.size;
  const std::vector<Rgb> palette = bits == 4 ? Palette16() : bits == 8 ? Palette256() : std::vector<Rgb>{};
  std::vector<std::uint8_t> out;
  const std::size_t colour_rows = RowBytes(size, bits) * static_cast<std::size_t>(size);
  const std::size_t mask_rows = RowBytes(size, 1) * static_cast<std::size_t>(size);
  Put32(&out, 40);
  Put32(&out, static_cast<std::uint32_t>(size));
  Put32(&out, static_cast<std::uint32_t>(size * 2));  // colour and mask together
  Put16(&out, 1);
  Put16(&out, static_cast<unsigned>(bits));
  Put32(&out, 0);
  Put32(&out, static_cast<std::uint32_t>(colour_rows + mask_rows));
  Put32(&out, 0);
  Put32(&out, 0);
  Put32(&out, static_cast<std::uint32_t>(palette.size()));
  Put32(&out, 0);
  for (const Rgb& c : palette) {
    out.push_back(static_cast<std::uint8_t>(c.b));
    out.push_back(static_cast<std::uint8_t>(c.g));
    out.push_back(static_cast<std::uint8_t>(c.r));
    out.push_back(0);
  }
  auto pixel = [&](int x, int y) { return icon.pixels[static_cast<std::size_t>(y * size + x)]; };
  auto opaque = [&](int x, int y) { return (pixel(x, y) >> 24) >= 128; };
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(RowBytes(size, bits), 0);
    for (int x = 0; x < size; ++x) {
      const std::uint32_t p = opaque(x, y) ? pixel(x, y) : 0;  // transparent pixels black under the mask
      const Rgb c{static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
      if (bits == 24) {
        row[static_cast<std::size_t>(x * 3)] = static_cast<std::uint8_t>(c.b);
        row[static_cast<std::size_t>(x * 3 + 1)] = static_cast<std::uint8_t>(c.g);
        row[static_cast<std::size_t>(x * 3 + 2)] = static_cast<std::uint8_t>(c.r);
      } else if (bits == 8) {
        row[static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(Nearest(palette, c));
      } else {
        const int index = Nearest(palette, c);
        row[static_cast<std::size_t>(x / 2)] |= static_cast<std::uint8_t>(x % 2 == 0 ? index << 4 : index);
      }
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<std::uint8_t> row(RowBytes(size, 1), 0);
    for (int x = 0; x < size; ++x) {
      if (!opaque(x, y)) row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTPUT.ico\n");
    return 2;
  }
  std::vector<std::vector<std::uint8_t>> images;
  std::vector<std::pair<int, int>> formats;  // size, bits
  for (int size : kApplicationIconSizes) {
    const IconImage icon = DrawApplicationIcon(size);
    for (int bits : {4, 8, 24}) {
      images.push_back(Image(icon, bits));
      formats.emplace_back(size, bits);
    }
  }
  std::vector<std::uint8_t> file;
  Put16(&file, 0);
  Put16(&file, 1);  // an icon
  Put16(&file, static_cast<unsigned>(images.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (std::size_t i = 0; i < images.size(); ++i) {
    const auto [size, bits] = formats[i];
    file.push_back(static_cast<std::uint8_t>(size));
    file.push_back(static_cast<std::uint8_t>(size));
    file.push_back(static_cast<std::uint8_t>(bits == 4 ? 16 : 0));  // colour count; 0 for 256 and more
    file.push_back(0);
    Put16(&file, 1);
    Put16(&file, static_cast<unsigned>(bits));
    Put32(&file, static_cast<std::uint32_t>(images[i].size()));
    Put32(&file, offset);
    offset += static_cast<std::uint32_t>(images[i].size());
  }
  for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return out ? 0 : 1;
}
