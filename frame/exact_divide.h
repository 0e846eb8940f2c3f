// Exact division of a 16-bit numerator by 255 through one multiplication and one shift.
//
// 0x8081 / 2^23 exceeds 1/255 by 127 / (255 * 2^23), so for every x below 2^16 the product
// x * 0x8081 / 2^23 lies within x * 127 / (255 * 2^23) < 1/255 above x / 255: it never reaches the
// next whole number, and the shift gives floor(x / 255). In 16-bit vector lanes this is a
// multiply-high by 0x8081 and a shift right by 7.
#pragma once

#include <stdint.h>

namespace opframe {

__attribute__((always_inline)) inline uint16_t divideBy255(uint16_t x) {
  return (uint16_t)(((uint32_t)x * 0x8081u) >> 23);
}

}  // namespace opframe
