// Colour between the host's pictures and the outside world. OpPixels are BT.601 studio-range
// YCbCr (Y 16..235, Cb and Cr 128 neutral, key 255 opaque); files and screens are full-range RGB.
// Every conversion goes through FFmpeg's swscale with the BT.601 matrix and exact rounding.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "picture.h"

namespace ophost::media {

// swscale's vector code reads a little past the end of the pictures it is given; this much room
// is kept allocated after every RgbImage's bytes (and after the host's other conversion buffers)
// so that those reads stay inside the allocation.
inline constexpr size_t kScalerPadding = 64;

// Packed 8-bit RGB, rows top to bottom, width * 3 bytes per row.
struct RgbImage {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3 bytes, with kScalerPadding more reserved

  RgbImage() = default;
  RgbImage(int32_t w, int32_t h) : width(w), height(h) {
    rgb.reserve(static_cast<size_t>(w) * h * 3 + kScalerPadding);
    rgb.resize(static_cast<size_t>(w) * h * 3, 0);
  }
  RgbImage(const RgbImage& other) : width(other.width), height(other.height) {
    rgb.reserve(other.rgb.size() + kScalerPadding);
    rgb = other.rgb;
  }
  RgbImage& operator=(const RgbImage& other) {
    if (this != &other) {
      width = other.width;
      height = other.height;
      rgb.reserve(other.rgb.size() + kScalerPadding);
      rgb = other.rgb;
    }
    return *this;
  }
  RgbImage(RgbImage&&) noexcept = default;
  RgbImage& operator=(RgbImage&&) noexcept = default;
  // The bytes for swscale to read: these when the padding is there, else a padded copy in `spare`.
  const uint8_t* scalerInput(std::vector<uint8_t>& spare) const {
    if (rgb.capacity() >= rgb.size() + kScalerPadding) return rgb.data();
    spare.reserve(rgb.size() + kScalerPadding);
    spare = rgb;
    return spare.data();
  }
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
