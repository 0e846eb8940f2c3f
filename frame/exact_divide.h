// Exact division by 255 without a divide instruction.
//
// divideBy255: one multiplication and one shift. 0x8081 / 2^23 exceeds 1/255 by 127 / (255 * 2^23),
// so for every x below 2^16 the product x * 0x8081 / 2^23 lies within x * 127 / (255 * 2^23) < 1/255
// above x / 255: it never reaches the next whole number, and the shift gives floor(x / 255).
//
// divideBy255FromNext: the same quotient from y = x + 1 with two shifts and an add, all in sixteen
// bits, for x up to 65279. Write x = 255q + r (0 <= r <= 254, q <= 255), so y = 256q + (r + 1 - q).
// y >> 8 is q when r + 1 >= q and q - 1 otherwise, and y + (y >> 8) is 256q + r + 1 or 256q + r:
// either way its high byte is q. For x <= 65279 the sum stays below 2^16. In sixteen-bit vector
// lanes this is a shift, an add and a shift, with no multiplication.
#pragma once

#include <stdint.h>

namespace opframe {

__attribute__((always_inline)) inline uint16_t divideBy255(uint16_t x) {
  return (uint16_t)(((uint32_t)x * 0x8081u) >> 23);
}

__attribute__((always_inline)) inline uint16_t divideBy255FromNext(uint16_t y) {
  return (uint16_t)((uint16_t)(y + (y >> 8)) >> 8);
}

}  // namespace opframe
