#include "cards.h"

#include <algorithm>
#include <cmath>

#include "host_error.h"

namespace ophost::media {

namespace {

using Rgb = std::array<uint8_t, 3>;

uint8_t byte(double value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value), 0l, 255l));
}

void put(RgbImage& image, int32_t i, int32_t j, Rgb colour) {
  uint8_t* p = image.at(i, j);
  p[0] = colour[0];
  p[1] = colour[1];
  p[2] = colour[2];
}

Rgb hue(double h, double value) {  // h in 0..1, full saturation
  const double r = std::clamp(std::fabs(h * 6 - 3) - 1, 0.0, 1.0);
  const double g = std::clamp(2 - std::fabs(h * 6 - 2), 0.0, 1.0);
  const double b = std::clamp(2 - std::fabs(h * 6 - 4), 0.0, 1.0);
  return {byte(r * value * 255), byte(g * value * 255), byte(b * value * 255)};
}

// Seven 75% colour bars over a strip of primaries and a grey ramp at the bottom.
void bars(RgbImage& image) {
  static const Rgb top[7] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                             {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
  static const Rgb middle[7] = {{0, 0, 191}, {16, 16, 16}, {191, 0, 191}, {16, 16, 16},
                                {0, 191, 191}, {16, 16, 16}, {191, 191, 191}};
  const int32_t w = image.width, h = image.height;
  for (int32_t j = 0; j < h; ++j) {
    for (int32_t i = 0; i < w; ++i) {
      const int bar = static_cast<int>(static_cast<int64_t>(i) * 7 / std::max(w, 1));
      if (j < h * 2 / 3) {
        put(image, i, j, top[bar]);
      } else if (j < h * 3 / 4) {
        put(image, i, j, middle[bar]);
      } else {
        const uint8_t grey = byte(255.0 * i / std::max(w - 1, 1));
        put(image, i, j, {grey, grey, grey});
      }
    }
  }
}

// A registration chart: white lines on dark grey, a centre circle and diagonals.
void grid(RgbImage& image) {
  const int32_t w = image.width, h = image.height;
  const double cell = std::max(4.0, std::min(w, h) / 9.0);
  const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, radius = std::min(w, h) * 0.4;
  const double line = std::max(1.0, std::min(w, h) / 240.0);
  for (int32_t j = 0; j < h; ++j) {
    for (int32_t i = 0; i < w; ++i) {
      const double gx = std::fabs(std::remainder(i - cx, cell));
      const double gy = std::fabs(std::remainder(j - cy, cell));
      const double ring = std::fabs(std::hypot(i - cx, j - cy) - radius);
      const bool border = i < line * 2 || j < line * 2 || i >= w - line * 2 || j >= h - line * 2;
      Rgb colour{40, 40, 48};
      if (gx < line || gy < line) colour = {200, 200, 200};
      if (ring < line * 1.5) colour = {255, 220, 0};
      if (border) colour = {230, 30, 30};
      put(image, i, j, colour);
    }
  }
}

// Hue across, from full brightness at the top to black at the bottom.
void gradient(RgbImage& image) {
  const int32_t w = image.width, h = image.height;
  for (int32_t j = 0; j < h; ++j)
    for (int32_t i = 0; i < w; ++i)
      put(image, i, j, hue(static_cast<double>(i) / std::max(w, 1), 1.0 - static_cast<double>(j) /
                                                                          std::max(h, 1)));
}

// Concentric rings in warm and deep-blue tones: the natural second input, unlike any of the others.
void rings(RgbImage& image) {
  const int32_t w = image.width, h = image.height;
  const double cx = w * 0.5, cy = h * 0.5, unit = std::min(w, h) / 14.0;
  for (int32_t j = 0; j < h; ++j) {
    for (int32_t i = 0; i < w; ++i) {
      const double r = std::hypot(i + 0.5 - cx, j + 0.5 - cy) / unit;
      // Bands with crisp edges, a pixel or two soft: the relief of Bump and every wipe shows on them.
      const double wave = 0.5 + 0.5 * std::clamp(std::cos(r * 3.14159265358979) * 6.0, -1.0, 1.0);
      const double warm = std::clamp(1.2 - r / 10.0, 0.25, 1.0);
      put(image, i, j, {byte((40 + 215 * wave) * warm), byte((20 + 130 * wave) * warm),
                        byte(110 - 90 * wave)});
    }
  }
}

void solid(RgbImage& image, Rgb colour) {
  for (int32_t j = 0; j < image.height; ++j)
    for (int32_t i = 0; i < image.width; ++i) put(image, i, j, colour);
}

}  // namespace

const std::vector<CardInfo>& cards() {
  static const std::vector<CardInfo> all = {
      {"bars", "colour bars over a grey ramp (the usual input 0)"},
      {"rings", "concentric warm rings on deep blue (the usual input 1)"},
      {"grid", "white grid, yellow circle and red border on dark grey"},
      {"gradient", "hues across, bright to dark downwards"},
      {"black", "black"},
      {"white", "white"},
  };
  return all;
}

bool isCard(std::string_view name) {
  const auto& all = cards();
  return std::any_of(all.begin(), all.end(), [&](const CardInfo& c) { return c.name == name; });
}

RgbImage drawCard(std::string_view name, int32_t width, int32_t height) {
  RgbImage image(width, height);
  if (name == "bars") {
    bars(image);
  } else if (name == "rings") {
    rings(image);
  } else if (name == "grid") {
    grid(image);
  } else if (name == "gradient") {
    gradient(image);
  } else if (name == "black") {
    solid(image, {0, 0, 0});
  } else if (name == "white") {
    solid(image, {255, 255, 255});
  } else {
    std::string known;
    for (const CardInfo& c : cards()) known += (known.empty() ? "" : ", ") + std::string(c.name);
    throw HostError("no built-in picture card:" + std::string(name) + " (there are " + known + ")");
  }
  return image;
}

}  // namespace ophost::media
