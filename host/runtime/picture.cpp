#include "picture.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "host_error.h"

namespace ophost {

std::string Geometry::describe() const {
  return "buffer " + std::to_string(stride) + "x" + std::to_string(rows) + ", area " +
         std::to_string(width) + "x" + std::to_string(height) + " at " + std::to_string(x) + "," +
         std::to_string(y);
}

void checkGeometry(const Geometry& g) {
  constexpr int32_t limit = std::numeric_limits<int16_t>::max();
  const int32_t fields[] = {g.stride, g.rows, g.x, g.y, g.width, g.height};
  for (int32_t field : fields) {
    if (field < 0 || field > limit) {
      throw HostError("image geometry out of range (" + g.describe() + "): every field must be 0.." +
                      std::to_string(limit));
    }
  }
  if (g.x + g.width > g.stride || g.y + g.height > g.rows) {
    throw HostError("active area leaves the buffer (" + g.describe() + ")");
  }
}

Picture::Picture(const Geometry& g, int32_t bpp, uint8_t fill) : geometry(g), bytesPerPixel(bpp) {
  checkGeometry(g);
  bytes.assign(static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) *
                   static_cast<size_t>(bpp),
               fill);
}

uint32_t Picture::pixel(int32_t column, int32_t row) const {
  uint32_t value = 0;
  std::memcpy(&value, at(column, row), sizeof value);  // little-endian: byte k in bits 8k..8k+7
  return value;
}

void Picture::setPixel(int32_t column, int32_t row, uint32_t value) {
  std::memcpy(at(column, row), &value, sizeof value);
}

bool Picture::opaque() const {
  if (bytesPerPixel != 4) return false;
  // The key is byte 0 of each pixel: the words of two pixels ANDed together keep 0xFF in bytes 0
  // and 4 only where every key so far was 255. A frame is read in blocks, to stop at the first
  // block holding a key below 255.
  constexpr uint64_t kKeys = 0x000000FF000000FFull;
  constexpr size_t kBlock = 4096;  // pairs of pixels
  const size_t pairs = bytes.size() / 8;
  for (size_t start = 0; start < pairs; start += kBlock) {
    uint64_t all = ~uint64_t{0};
    for (size_t n = start; n < std::min(pairs, start + kBlock); ++n) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + 8 * n, sizeof word);
      all &= word;
    }
    if ((all & kKeys) != kKeys) return false;
  }
  return bytes.size() % 8 == 0 || bytes[bytes.size() - 4] == 255;
}

}  // namespace ophost
