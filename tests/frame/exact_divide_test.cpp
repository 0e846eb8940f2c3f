// Fog's division by 255 through multiplication, over its whole input domain: every 16-bit
// numerator (the blends reach 255 * 255 at most).
#include "exact_divide.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(ExactDivide, By255ForEverySixteenBitNumerator) {
  for (uint32_t x = 0; x <= 0xFFFF; ++x) {
    ASSERT_EQ(opframe::divideBy255((uint16_t)x), x / 255) << "numerator " << x;
  }
}
