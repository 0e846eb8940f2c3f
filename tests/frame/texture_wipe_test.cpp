// The texture threshold wipe's band arithmetic, on the shared routine itself: the soft band's
// width, the wipe level over the effect, and what one pixel becomes for every texel.
#include "texture_wipe.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using opframe::edgeWidth;
using opframe::wipeBand;
using opframe::wipeLevel;
using opframe::wipePixel;

namespace {

// One byte by the rule: below L - E the incoming byte, in the band a blend with keepWeight
// w = t + E - L, from L up the kept byte.
int referenceByte(int kept, int incoming, int t, int e, int l) {
  if (t < l - e) return incoming;
  if (t >= l) return kept;
  const int w = t + e - l;
  return (kept * w + incoming * (e - w)) / e;
}

// Sweeps every texel over a few pixels whose four bytes all differ; each byte must follow the rule
// from its own old value.
void expectRuleForEveryTexel(int e, int l) {
  const uint8_t kept[3][4] = {{200, 0, 255, 100}, {1, 254, 128, 17}, {255, 255, 0, 0}};
  const uint8_t incoming[3][4] = {{10, 255, 0, 100}, {250, 3, 127, 240}, {0, 0, 255, 255}};
  const opframe::WipeBand band = wipeBand(e, static_cast<uint32_t>(l));
  for (int n = 0; n < 3; ++n) {
    for (int t = 0; t < 256; ++t) {
      uint8_t pixel[4] = {kept[n][0], kept[n][1], kept[n][2], kept[n][3]};
      wipePixel(pixel, incoming[n], t, band);
      for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(pixel[k], referenceByte(kept[n][k], incoming[n][k], t, e, l))
            << "E " << e << " L " << l << " texel " << t << " byte " << k;
      }
    }
  }
}

}  // namespace

TEST(TextureWipe, EdgeWidthFromSoftness) {
  EXPECT_EQ(edgeWidth(0), 0);
  EXPECT_EQ(edgeWidth(1), 2);
  EXPECT_EQ(edgeWidth(20), 51);
  EXPECT_EQ(edgeWidth(50), 127);
  EXPECT_EQ(edgeWidth(100), 255);
}

TEST(TextureWipe, LevelRisesFromZeroToEdgePlus255) {
  EXPECT_EQ(wipeLevel(51, 50, 100), 153u);
  EXPECT_EQ(wipeLevel(51, 0, 100), 0u);
  EXPECT_EQ(wipeLevel(51, 100, 100), 306u);
  EXPECT_EQ(wipeLevel(0, 100, 100), 255u);
  EXPECT_EQ(wipeLevel(255, 5, 10), 255u);
  EXPECT_EQ(wipeLevel(51, 1, 3), 102u);
  EXPECT_EQ(wipeLevel(51, 2, 3), 204u);
  EXPECT_EQ(wipeLevel(127, 1, 7), 54u) << "382 / 7, truncated";

  // Wherever the 32-bit product fits, the level is the 32-bit unsigned quotient.
  for (int32_t e : {0, 2, 51, 127, 255}) {
    for (uint32_t length : {1u, 3u, 100u, 4096u, 1000003u, 8421504u}) {
      for (uint32_t position : {0u, 1u, length / 3, length / 2, length - 1, length}) {
        const uint32_t product = static_cast<uint32_t>(e + 255) * position;
        EXPECT_EQ(wipeLevel(e, position, length), product / length)
            << e << " " << position << "/" << length;
      }
    }
  }
}

TEST(TextureWipe, MendedLevels) {
  // Past 8.4 million steps the product no longer fits 32 bits; the level still ends at E + 255.
  EXPECT_EQ(wipeLevel(255, 10000000, 10000000), 510u);
  EXPECT_EQ(wipeLevel(255, 9000000, 10000000), 459u);
  EXPECT_EQ(wipeLevel(51, 4000000000u, 4000000000u), 306u);
  EXPECT_EQ(wipeLevel(51, 2000000000u, 4000000000u), 153u);
  // A length of 0 is the effect's start; a position past the end is the end.
  EXPECT_EQ(wipeLevel(51, 0, 0), 0u);
  EXPECT_EQ(wipeLevel(51, 7, 0), 0u);
  EXPECT_EQ(wipeLevel(51, 101, 100), 306u);
  EXPECT_EQ(wipeLevel(255, 0xFFFFFFFFu, 3), 510u);
}

TEST(TextureWipe, BandAtHalfwayWithDefaultSoftness) {
  // E = 51, L = 153: texels below 102 take the incoming pixel, 102..152 blend with w = t - 102,
  // 153 and up keep the pixel.
  const opframe::WipeBand band = wipeBand(51, 153);
  const uint8_t incoming[4] = {10, 255, 0, 100};
  auto wiped = [&](int t) {
    uint8_t pixel[4] = {200, 0, 255, 100};
    wipePixel(pixel, incoming, t, band);
    return std::vector<int>(pixel, pixel + 4);
  };
  EXPECT_EQ(wiped(0), (std::vector<int>{10, 255, 0, 100}));
  EXPECT_EQ(wiped(101), (std::vector<int>{10, 255, 0, 100}));
  EXPECT_EQ(wiped(102), (std::vector<int>{10, 255, 0, 100}))
      << "w = 0 gives the incoming pixel exactly";
  EXPECT_EQ(wiped(127), (std::vector<int>{103, 130, 125, 100})) << "w = 25";
  EXPECT_EQ(wiped(152), (std::vector<int>{196, 5, 250, 100})) << "w = 50 keeps 50 parts in 51";
  EXPECT_EQ(wiped(153), (std::vector<int>{200, 0, 255, 100}));
  EXPECT_EQ(wiped(255), (std::vector<int>{200, 0, 255, 100}));
  expectRuleForEveryTexel(51, 153);
}

TEST(TextureWipe, BandAtTheEndsAndExtremeSoftness) {
  for (int e : {0, 2, 51, 127, 255}) {
    expectRuleForEveryTexel(e, 0);        // position 0
    expectRuleForEveryTexel(e, e + 255);  // position == length
    expectRuleForEveryTexel(e, (e + 255) / 2);
  }
  expectRuleForEveryTexel(255, 255);  // softness 100 halfway: t = 0 exact, 1..254 blend with w = t
  const uint8_t incoming[4] = {9, 8, 7, 6};

  // Position 0 keeps every pixel; position == length takes the incoming one for every texel while
  // E > 0 (255 sits in the band with w = 0). A hard edge (E = 0) keeps texels of 255 even then.
  for (int t = 0; t < 256; ++t) {
    uint8_t start[4] = {1, 2, 3, 4};
    wipePixel(start, incoming, t, wipeBand(51, 0));
    EXPECT_EQ(start[0], 1) << t;
    uint8_t end[4] = {1, 2, 3, 4};
    wipePixel(end, incoming, t, wipeBand(51, 306));
    EXPECT_EQ(end[0], 9) << t;
    uint8_t hard[4] = {1, 2, 3, 4};
    wipePixel(hard, incoming, t, wipeBand(0, 255));
    EXPECT_EQ(hard[0], t < 255 ? 9 : 1) << t;
  }
}
