#include "rgb_frames.h"

#include <algorithm>
#include <cmath>

namespace ophost::media {

namespace {

// The BT.601 matrix with its studio-range scaling, in 1/1048576ths: Y = 16 + 219/255 (0.299 R +
// 0.587 G + 0.114 B), Cb and Cr = 128 + 224/255 of the colour differences, and back.
constexpr int kShift = 20;
constexpr int32_t kHalf = 1 << (kShift - 1);

constexpr int32_t fixed(double value) {
  return static_cast<int32_t>(value * (1 << kShift) + (value < 0 ? -0.5 : 0.5));
}

constexpr double kKr = 0.299, kKb = 0.114, kKg = 1 - kKr - kKb;
constexpr double kLumaScale = 219.0 / 255.0, kChromaScale = 224.0 / 255.0;

constexpr int32_t kYr = fixed(kKr * kLumaScale), kYg = fixed(kKg * kLumaScale), kYb = fixed(kKb * kLumaScale);
constexpr int32_t kCbr = fixed(-kKr / (2 * (1 - kKb)) * kChromaScale);
constexpr int32_t kCbg = fixed(-kKg / (2 * (1 - kKb)) * kChromaScale);
constexpr int32_t kCbb = fixed(0.5 * kChromaScale);
constexpr int32_t kCrr = fixed(0.5 * kChromaScale);
constexpr int32_t kCrg = fixed(-kKg / (2 * (1 - kKr)) * kChromaScale);
constexpr int32_t kCrb = fixed(-kKb / (2 * (1 - kKr)) * kChromaScale);

constexpr int32_t kRy = fixed(1 / kLumaScale);                                // per step of Y - 16
constexpr int32_t kRcr = fixed(2 * (1 - kKr) / kChromaScale);                 // per step of Cr - 128
constexpr int32_t kGcb = fixed(-2 * (1 - kKb) * kKb / kKg / kChromaScale);    // per step of Cb - 128
constexpr int32_t kGcr = fixed(-2 * (1 - kKr) * kKr / kKg / kChromaScale);
constexpr int32_t kBcb = fixed(2 * (1 - kKb) / kChromaScale);

inline uint8_t clampByte(int32_t value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// The loops with the pixel size fixed, so that they vectorise: inlined into the functions below,
// they are compiled for each of their targets.
template <int kBytes>
__attribute__((always_inline)) inline void rgbToOp(const uint8_t* rgb, int32_t width, uint8_t* op) {
  for (int32_t i = 0; i < width; ++i) {
    const int32_t r = rgb[kBytes * i], g = rgb[kBytes * i + 1], b = rgb[kBytes * i + 2];
    op[4 * i] = kBytes == 4 ? rgb[kBytes * i + 3] : 255;
    op[4 * i + 1] = clampByte((kCbr * r + kCbg * g + kCbb * b + (128 << kShift) + kHalf) >> kShift);
    op[4 * i + 2] = clampByte((kCrr * r + kCrg * g + kCrb * b + (128 << kShift) + kHalf) >> kShift);
    op[4 * i + 3] = clampByte((kYr * r + kYg * g + kYb * b + (16 << kShift) + kHalf) >> kShift);
  }
}

template <int kBytes>
__attribute__((always_inline)) inline void opToRgb(const uint8_t* op, int32_t width, uint8_t* rgb) {
  for (int32_t i = 0; i < width; ++i) {
    const int32_t cb = op[4 * i + 1] - 128, cr = op[4 * i + 2] - 128;
    const int32_t y = kRy * (op[4 * i + 3] - 16) + kHalf;
    rgb[kBytes * i] = clampByte((y + kRcr * cr) >> kShift);
    rgb[kBytes * i + 1] = clampByte((y + kGcb * cb + kGcr * cr) >> kShift);
    rgb[kBytes * i + 2] = clampByte((y + kBcb * cb) >> kShift);
    if (kBytes == 4) rgb[kBytes * i + 3] = op[4 * i];
  }
}

}  // namespace

// Integer arithmetic in the widest vectors this machine has, the same result in any width.
__attribute__((target_clones("avx2", "default")))
void rgbRowToOpPixels(const uint8_t* rgb, int32_t bytesPerPixel, int32_t width, uint8_t* op) {
  if (bytesPerPixel == 4) {
    rgbToOp<4>(rgb, width, op);
  } else {
    rgbToOp<3>(rgb, width, op);
  }
}

__attribute__((target_clones("avx2", "default")))
void opPixelsRowToRgb(const uint8_t* op, int32_t width, int32_t bytesPerPixel, uint8_t* rgb) {
  if (bytesPerPixel == 4) {
    opToRgb<4>(op, width, rgb);
  } else {
    opToRgb<3>(op, width, rgb);
  }
}

}  // namespace ophost::media
