#include "ui/app_icon.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace zevuvuri::ui {
namespace {

// Shapes are tested in a unit square (y down); each pixel is sampled on a
// 4 x 4 grid so that edges are smooth at 16 pixels too.
constexpr int kSamples = 4;

struct Colour {
  float r, g, b, a;
};

struct Point {
  float x, y;
};

float Length(float x, float y) { return std::sqrt(x * x + y * y); }

bool InRoundedSquare(Point p, float inset, float radius) {
  const float half = 0.5f - inset;
  const float dx = std::max(std::abs(p.x - 0.5f) - (half - radius), 0.0f);
  const float dy = std::max(std::abs(p.y - 0.5f) - (half - radius), 0.0f);
  return std::abs(p.x - 0.5f) <= half && std::abs(p.y - 0.5f) <= half && Length(dx, dy) <= radius;
}

bool InCapsule(Point p, Point a, Point b, float width) {
  const float vx = b.x - a.x, vy = b.y - a.y;
  const float t = std::clamp(((p.x - a.x) * vx + (p.y - a.y) * vy) / (vx * vx + vy * vy), 0.0f, 1.0f);
  return Length(p.x - (a.x + t * vx), p.y - (a.y + t * vy)) <= width / 2;
}

bool InDisc(Point p, Point centre, float radius) { return Length(p.x - centre.x, p.y - centre.y) <= radius; }

// A stroke along a circle, within `spread` radians either side of the
// horizontal on both sides of the centre: one wave to the left, one to the right.
bool InWavePair(Point p, Point centre, float radius, float width, float spread) {
  const float dx = p.x - centre.x, dy = p.y - centre.y;
  if (std::abs(Length(dx, dy) - radius) > width / 2) return false;
  const float angle = std::atan2(std::abs(dy), std::abs(dx));
  return angle <= spread;
}

Colour Over(Colour top, Colour bottom) {
  const float a = top.a + bottom.a * (1 - top.a);
  if (a <= 0) return Colour{0, 0, 0, 0};
  auto mix = [&](float t, float b) { return (t * top.a + b * bottom.a * (1 - top.a)) / a; };
  return Colour{mix(top.r, bottom.r), mix(top.g, bottom.g), mix(top.b, bottom.b), a};
}

Colour Sample(Point p) {
  constexpr Point kTip{0.5f, 0.36f};
  Colour c{0, 0, 0, 0};
  if (InRoundedSquare(p, 0.03f, 0.18f)) {
    const float t = p.y;  // darker towards the bottom
    c = Colour{0.16f - 0.08f * t, 0.45f - 0.2f * t, 0.65f - 0.25f * t, 1};
  }
  const Colour white{1, 1, 1, 1};
  const Colour pale{0.68f, 0.84f, 0.95f, 1};
  const float spread = 40.0f * std::numbers::pi_v<float> / 180.0f;
  if (InWavePair(p, kTip, 0.30f, 0.06f, spread)) c = Over(pale, c);
  if (InWavePair(p, kTip, 0.18f, 0.065f, spread)) c = Over(white, c);
  if (InCapsule(p, {0.5f, 0.40f}, {0.5f, 0.80f}, 0.10f)) c = Over(white, c);
  if (InCapsule(p, {0.33f, 0.83f}, {0.67f, 0.83f}, 0.09f)) c = Over(white, c);
  if (InDisc(p, kTip, 0.08f)) c = Over(Colour{0.96f, 0.69f, 0.25f, 1}, c);
  return c;
}

std::uint32_t Channel(float value) { return static_cast<std::uint32_t>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255)); }

}  // namespace

IconImage DrawApplicationIcon(int size) {
  IconImage image;
  if (size <= 0) return image;
  image.size = size;
  image.pixels.resize(static_cast<std::size_t>(size) * static_cast<std::size_t>(size));
  const float step = 1.0f / static_cast<float>(size * kSamples);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      // Average premultiplied colour over the samples, then undo the premultiplication.
      float r = 0, g = 0, b = 0, a = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const Point p{(static_cast<float>(x * kSamples + sx) + 0.5f) * step,
                        (static_cast<float>(y * kSamples + sy) + 0.5f) * step};
          const Colour c = Sample(p);
          r += c.r * c.a;
          g += c.g * c.a;
          b += c.b * c.a;
          a += c.a;
        }
      }
      constexpr float kCount = kSamples * kSamples;
      std::uint32_t pixel = 0;
      if (a > 0) pixel = Channel(a / kCount) << 24 | Channel(r / a) << 16 | Channel(g / a) << 8 | Channel(b / a);
      image.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(size) + static_cast<std::size_t>(x)] = pixel;
    }
  }
  return image;
}

}  // namespace zevuvuri::ui
