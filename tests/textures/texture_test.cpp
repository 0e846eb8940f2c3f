// The host's generated textures: the sizes the plug-ins expect, the whole grey range with no
// jumps, the Fog quarters' centres, and the files written at build time.
#include <gtest/gtest.h>

#include "test_host.h"
#include "texture_designs.h"
#include "texture_files.h"

using namespace ophost;
using namespace ophost::textures;

namespace {

TEST(Textures, SizesRangeAndSmoothness) {
  for (const TextureDesign& design : textureDesigns()) {
    const Picture grey = drawTexture(design.name);
    EXPECT_EQ(grey.geometry, Geometry::exact(design.width, design.height)) << design.name;
    EXPECT_EQ(grey.bytesPerPixel, 1);
    const auto [low, high] = std::minmax_element(grey.bytes.begin(), grey.bytes.end());
    EXPECT_EQ(*low, 0) << design.name;
    EXPECT_EQ(*high, 255) << design.name;
    // Smooth: most neighbours differ by a few levels, so the soft band of a wipe has room to show;
    // the streaks alone have rows of their own.
    int steep = 0;
    std::set<int> levels;
    for (int32_t r = 0; r < design.height; ++r) {
      for (int32_t k = 0; k + 1 < design.width; ++k) {
        levels.insert(*grey.at(k, r));
        if (std::abs(*grey.at(k + 1, r) - *grey.at(k, r)) > 8) ++steep;
      }
    }
    EXPECT_LT(steep, design.width * design.height / 100) << design.name;
    EXPECT_GT(levels.size(), 200u) << design.name;
  }
  EXPECT_EQ(drawTexture("ripples.png").geometry.width, 286);
  EXPECT_EQ(drawTexture("kreis.png").geometry.height, 144);
  EXPECT_ANY_THROW(drawTexture("nothing.png"));
}

TEST(Textures, FogQuartersHaveTheirCentreInTheBottomRightCorner) {
  for (const char* name : {"diamant.png", "kreis.png"}) {
    const Picture grey = drawTexture(name);
    EXPECT_EQ(*grey.at(179, 143), 0) << name;
    EXPECT_EQ(*grey.at(0, 0), 255) << name;
    for (int32_t r = 0; r < 144; ++r)  // darker towards the centre along every row and column
      for (int32_t k = 0; k + 1 < 180; ++k) ASSERT_LE(*grey.at(k + 1, r), *grey.at(k, r)) << name;
    for (int32_t k = 0; k < 180; ++k)
      for (int32_t r = 0; r + 1 < 144; ++r) ASSERT_LE(*grey.at(k, r + 1), *grey.at(k, r)) << name;
  }
  // The circle is round: equal distances from the corner have equal levels.
  const Picture circle = drawTexture("kreis.png");
  EXPECT_NEAR(*circle.at(179 - 100, 143), *circle.at(179, 143 - 100), 1);
  // The diamond's edges are straight: equal sums of distances (in proportion to the sides) agree.
  const Picture diamond = drawTexture("diamant.png");
  EXPECT_NEAR(*diamond.at(179 - 90, 143), *diamond.at(179, 143 - 72), 1);
}

TEST(Textures, WipesRunTheWayTheirNamesSay) {
  const Picture diagonal = drawTexture("diagonal.png");
  EXPECT_LT(*diagonal.at(10, 10), *diagonal.at(140, 110));
  EXPECT_LT(*diagonal.at(140, 110), *diagonal.at(280, 220));
  const Picture streaks = drawTexture("streaks.png");
  int leftDarker = 0;
  for (int32_t r = 0; r < 228; ++r) leftDarker += *streaks.at(20, r) < *streaks.at(265, r);
  EXPECT_EQ(leftDarker, 228);
  const Picture ripples = drawTexture("ripples.png");
  EXPECT_LT(*ripples.at(143, 114), *ripples.at(5, 5));
  EXPECT_NEAR(*ripples.at(143 + 60, 114), *ripples.at(142 - 60, 114), 1);  // concentric
}

TEST(Textures, TheBuildWroteThemAll) {
  for (const TextureDesign& design : textureDesigns()) {
    const Picture file = readGreyPng(std::filesystem::path(OP_TEXTURE_DIR) / design.name);
    EXPECT_TRUE(file.bytes == drawTexture(design.name).bytes) << design.name;
  }
}

}  // namespace
