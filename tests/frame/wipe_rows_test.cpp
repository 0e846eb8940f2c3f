// The row-at-a-time texture wipe against the pixel rule it must reproduce byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "texture_wipe.h"

namespace {

// The division through multiplication, for every divisor a band gives and every numerator a
// blend can reach (at most 255 * divisor).
TEST(WipeRows, DivisionIsExactForEveryBlend) {
  for (uint32_t e = 1; e <= 255; ++e) {
    const uint16_t reciprocal = (uint16_t)(e == 1 ? 65535 : 65536 / e);
    for (uint32_t x = 0; x <= 255 * e; ++x) {
      ASSERT_EQ(opframe::wipeDivide((uint16_t)x, (uint16_t)e, reciprocal), x / e)
          << "x " << x << " E " << e;
    }
  }
}

// The multiplication-and-shift form, found afresh for every divisor, over the same numerators.
TEST(WipeRows, DivisionWithoutCorrectionIsExactForEveryBlend) {
  for (int32_t e = 1; e <= 255; ++e) {
    const opframe::WipeDivision division = opframe::wipeDivision(e);
    ASSERT_NE(division.multiplier, 0) << "E " << e;
    for (uint32_t x = 0; x <= 255u * (uint32_t)e; ++x) {
      ASSERT_EQ(opframe::wipeDivideExactly((uint16_t)x, division), x / (uint32_t)e)
          << "x " << x << " E " << e;
    }
  }
}

// Every band width and level, over a row that meets every grey level in long and short stretches,
// gives what wipePixel gives pixel by pixel.
TEST(WipeRows, RowsMatchThePixelRule) {
  auto rows = std::make_unique<opframe::WipeRows>();
  // Texel columns: each grey level once, then stretches of 20 and 3 of the same level,
  std::vector<uint8_t> texels;
  for (int t = 0; t < 256; ++t) texels.push_back((uint8_t)t);
  for (int t = 0; t < 256; t += 17) texels.insert(texels.end(), 20, (uint8_t)t);
  for (int t = 255; t >= 0; t -= 5) texels.insert(texels.end(), 3, (uint8_t)t);
  // and stretches long enough to be kept or taken whole rather than blended.
  for (int t : {0, 100, 255}) texels.insert(texels.end(), opframe::WIPE_SHORTEST_SPAN + 3, (uint8_t)t);
  const int32_t width = (int32_t)texels.size();
  for (int32_t j = 0; j < width; ++j) rows->columns[j] = j;

  std::vector<uint8_t> kept(width * PIXEL_BYTES), incoming(width * PIXEL_BYTES);
  uint32_t state = 12345;
  for (size_t n = 0; n < kept.size(); ++n) {
    state = state * 1103515245u + 12345u;
    kept[n] = (uint8_t)(state >> 16);
    incoming[n] = (uint8_t)(state >> 24);
  }
  for (int32_t softness : {-40, 0, 1, 20, 50, 99, 100, 130}) {
    const int32_t e = opframe::edgeWidth(softness);
    for (int32_t level = 0; level <= (e > 0 ? e : 0) + 255; ++level) {
      const opframe::WipeBand band = opframe::wipeBand(e, (uint32_t)level);
      std::vector<uint8_t> expected = kept, actual = kept;
      for (int32_t j = 0; j < width; ++j) {
        opframe::wipePixel(&expected[j * PIXEL_BYTES], &incoming[j * PIXEL_BYTES], texels[j], band);
      }
      opframe::wipeRowsBegin(*rows, band);
      opframe::wipeRow(*rows, texels.data(), actual.data(), incoming.data(), width);
      ASSERT_EQ(actual, expected) << "E " << e << " L " << level;
      // The weights kept for the same texel row serve a second row alike.
      actual = kept;
      opframe::wipeRow(*rows, texels.data(), actual.data(), incoming.data(), width);
      ASSERT_EQ(actual, expected) << "E " << e << " L " << level << ", second row";
    }
  }
}

}  // namespace
