// Pictures as the host keeps them: a whole buffer of rows with an active area inside it, in the
// layout an OpImage describes. Inputs and outputs hold four-byte OpPixels, textures one grey byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

namespace ophost {

// Room left unused on both sides of every picture buffer. The runtime places its guard zones (a
// row of the picture, at least 256 bytes, on each side) there when it hands a picture's own buffer
// to a plug-in, so a decoded frame is handed out where it was written and the plug-in's output is
// taken back where it was put, without copying. A row up to 4096 four-byte pixels fits.
inline constexpr size_t kPictureSlack = 16384;

// Allocates each buffer with kPictureSlack bytes before and after the elements it holds.
template <typename T>
struct SlackAllocator {
  using value_type = T;
  SlackAllocator() = default;
  template <typename U>
  SlackAllocator(const SlackAllocator<U>&) {}
  T* allocate(size_t count) {
    auto* block = static_cast<uint8_t*>(::operator new(count * sizeof(T) + 2 * kPictureSlack));
    return reinterpret_cast<T*>(block + kPictureSlack);
  }
  void deallocate(T* elements, size_t) {
    ::operator delete(reinterpret_cast<uint8_t*>(elements) - kPictureSlack);
  }
  template <typename U>
  bool operator==(const SlackAllocator<U>&) const { return true; }
};

// A picture's bytes: an ordinary vector whose buffer has the slack above on both sides.
using PixelBytes = std::vector<uint8_t, SlackAllocator<uint8_t>>;

// The largest side of any image the host makes for a plug-in (a new image, an input, a frame an
// editor hands the bridge).
inline constexpr int32_t kMaxImageSide = 32767;
// The OpPixel word of opaque black: key 255, Cb 128, Cr 128, Y 16. New images and the bars
// around a letterboxed picture are filled with it.
inline constexpr uint32_t kOpaqueBlack = 0x108080FF;

struct Geometry {
  int32_t stride = 0;  // pixels per buffer row
  int32_t rows = 0;    // rows in the buffer
  int32_t x = 0;       // active area inside the buffer
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;

  // A buffer of width x height whose active area is all of it.
  static Geometry exact(int32_t width, int32_t height) {
    return Geometry{width, height, 0, 0, width, height};
  }
  bool operator==(const Geometry&) const = default;
  bool contains(int32_t column, int32_t row) const {
    return column >= x && column < x + width && row >= y && row < y + height;
  }
  std::string describe() const;
};

// Throws HostError unless every field fits an OpImage's 16-bit fields, the buffer is not empty
// when the area is not, and the active area lies inside the buffer.
void checkGeometry(const Geometry& geometry);

struct Picture {
  Geometry geometry;
  int32_t bytesPerPixel = 4;
  PixelBytes bytes;  // stride * rows * bytesPerPixel

  Picture() = default;
  Picture(const Geometry& g, int32_t bpp, uint8_t fill = 0);

  size_t offset(int32_t column, int32_t row) const {
    return (static_cast<size_t>(row) * static_cast<size_t>(geometry.stride) +
            static_cast<size_t>(column)) * static_cast<size_t>(bytesPerPixel);
  }
  // Buffer coordinates (not active-area coordinates).
  uint8_t* at(int32_t column, int32_t row) { return bytes.data() + offset(column, row); }
  const uint8_t* at(int32_t column, int32_t row) const { return bytes.data() + offset(column, row); }
  // Active-area coordinates.
  uint8_t* area(int32_t i, int32_t j) { return at(geometry.x + i, geometry.y + j); }
  const uint8_t* area(int32_t i, int32_t j) const { return at(geometry.x + i, geometry.y + j); }

  uint32_t pixel(int32_t column, int32_t row) const;  // four bytes, byte k in bits 8k..8k+7
  void setPixel(int32_t column, int32_t row, uint32_t value);
  // Whether every pixel of a four-byte picture has the key 255 (opaque), the whole buffer read.
  bool opaque() const;
  bool operator==(const Picture&) const = default;
};

}  // namespace ophost
