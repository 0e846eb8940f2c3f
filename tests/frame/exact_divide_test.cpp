// Fog's division by 255 without a divide instruction, over its whole input domain: every 16-bit
// numerator for the multiplication, every numerator up to 65279 for the shifts (the blends reach
// 255 * 255 at most).
#include "exact_divide.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(ExactDivide, By255ForEverySixteenBitNumerator) {
  for (uint32_t x = 0; x <= 0xFFFF; ++x) {
    ASSERT_EQ(opframe::divideBy255((uint16_t)x), x / 255) << "numerator " << x;
  }
}

// The shift-and-add form takes x + 1 and is exact up to x = 65279 (the blends stay below 65026).
TEST(ExactDivide, By255FromTheNextNumeratorUpTo65279) {
  for (uint32_t x = 0; x <= 65279; ++x) {
    ASSERT_EQ(opframe::divideBy255FromNext((uint16_t)(x + 1)), x / 255) << "numerator " << x;
  }
}
