// The shape of a clip's frames beyond their size: the aspect of their pixels (a PAL DV frame of
// 720x576 is shown 4:3, its pixels 16:15) and whether each frame is two interlaced fields, and
// which of them is shown first. Read from the inputs and carried to the outputs.
#pragma once

#include <cstdint>
#include <numeric>
#include <string>

namespace ophost::media {

// A pixel's width over its height, reduced.
struct PixelAspect {
  int32_t num = 1;
  int32_t den = 1;

  PixelAspect() = default;
  PixelAspect(int32_t width, int32_t height) : num(width), den(height) {
    if (num <= 0 || den <= 0) num = den = 1;
    const int32_t common = std::gcd(num, den);
    num /= common, den /= common;
  }
  bool square() const { return num == den; }
  bool operator==(const PixelAspect&) const = default;
  PixelAspect turned() const { return {den, num}; }  // of the frame turned a quarter
  std::string describe() const { return std::to_string(num) + ":" + std::to_string(den); }
};

enum class FieldOrder { Progressive, TopFirst, BottomFirst };

inline bool interlaced(FieldOrder order) { return order != FieldOrder::Progressive; }
inline std::string describe(FieldOrder order) {
  switch (order) {
    case FieldOrder::TopFirst: return "interlaced, top field first";
    case FieldOrder::BottomFirst: return "interlaced, bottom field first";
    case FieldOrder::Progressive: break;
  }
  return "progressive";
}

}  // namespace ophost::media
