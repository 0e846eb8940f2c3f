// Deterministic pseudo-random pictures, shared by the tests and the benchmarks.
#pragma once

#include <cstdint>

#include "picture.h"

namespace ophost {

// Every byte of the buffer (inside and outside the active area) pseudo-random for `seed`.
inline Picture noisePicture(const Geometry& geometry, uint32_t seed) {
  Picture picture(geometry, 4);
  uint32_t state = seed * 2654435761u + 12345u;
  if (state == 0) state = 1;  // xorshift never leaves 0
  for (uint8_t& byte : picture.bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return picture;
}

}  // namespace ophost
