// Colour between the host's pictures and the outside world. OpPixels are BT.601 studio-range
// YCbCr (Y 16..235, Cb and Cr 128 neutral, key 255 opaque); files and screens are full-range RGB.
// Every conversion goes through FFmpeg's swscale with the BT.601 matrix and exact rounding.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "picture.h"

namespace ophost::media {

// Packed 8-bit RGB, rows top to bottom, width * 3 bytes per row.
struct RgbImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgb;

  RgbImage() = default;
  RgbImage(int32_t w, int32_t h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3, 0) {}
  uint8_t* at(int32_t column, int32_t row) {
    return rgb.data() + (static_cast<size_t>(row) * width + column) * 3;
  }
  const uint8_t* at(int32_t column, int32_t row) const {
    return rgb.data() + (static_cast<size_t>(row) * width + column) * 3;
  }
};

// Writes `rgb` (the size of the picture's active area) into the active area as opaque OpPixels.
void rgbIntoArea(const RgbImage& rgb, Picture& picture);

// The whole buffer of a four-byte picture (its active area and whatever surrounds it) as RGB.
RgbImage pictureToRgb(const Picture& picture);

// One colour: full-range RGB with a key to an OpPixel word (byte k in bits 8k..8k+7), and back.
uint32_t rgbToOpPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t key = 255);
std::array<uint8_t, 3> opPixelToRgb(uint32_t pixel);

// `source` scaled to width x height with a bicubic filter (a copy when the size is the same).
RgbImage scaleRgb(const RgbImage& source, int32_t width, int32_t height);

}  // namespace ophost::media
