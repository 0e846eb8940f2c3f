// Streaks through its built library: descriptor, open and close, missing inputs, and the wipe
// against a plain reference of the rule with the streak texture as stored or mirrored left to
// right.
#include "texture_wipe_testing.h"

using namespace wipetest;

namespace {

const WipeModule kStreaks = {"Streaks", "streaks.png", "src\\Streaks", 0x0B740000, 84, 90};

// The texel of area pixel (j, i): rows of 286 bytes, 228 rows, mirrored left to right for index 1.
std::function<int(int, int)> streakTexels(const Picture& texture, const Geometry& g,
                                          int direction) {
  return [&texture, g, direction](int j, int i) {
    const int column = direction == 1 ? g.width - 1 - j : j;
    return texelByte(texture, 286, column * 286 / g.width, i * 228 / g.height);
  };
}

class StreaksTest : public testing::Test {
 protected:
  WipeHarness h{kStreaks};
};

}  // namespace

TEST_F(StreaksTest, Descriptor) {
  const auto& model =
      expectDescriptor(h, "$Id: KT3_Streaks,v 1.0 2014/03/22 00:00:00 Vethmar $", 400, 2);
  expectDirectionChoice(model, 420, {3, 7}, 0);
}

TEST_F(StreaksTest, OpenAndClose) {
  checkLifecycle(h, {patternTexture(285, 228, 1), patternTexture(286, 227, 2)}, 0,
                 patternTexture(286, 228, 3));
}

TEST_F(StreaksTest, MissingInputs) { checkMissingInputs(h, patternTexture(286, 228, 4)); }

TEST_F(StreaksTest, MatchesTheRuleInBothDirectionsOnEveryLayout) {
  const Picture texture = patternTexture(286, 228, 5);
  h.open(texture);
  uint32_t seed = 200;
  for (const Geometry& g : typicalGeometries()) {
    for (int direction = 0; direction < 2; ++direction) {
      for (const auto& [softness, position, length] : kFrames) {
        h.plugin->setValue(0, softness);
        h.plugin->setValue(1, direction);
        const Picture input0 = noisePicture(g, ++seed);
        const Picture input1 = noisePicture(g, ++seed);
        ASSERT_EQ(h.render(input0, input1, at(position, length)),
                  referenceWipe(input0, input1, forwardBand(softness, position, length),
                                streakTexels(texture, g, direction)))
            << g.describe() << " direction " << direction << " softness " << softness;
      }
    }
  }
}

TEST_F(StreaksTest, WorkedBandAndMirroring) {
  h.open(rampTexture());
  h.plugin->setValue(0, 20);
  h.plugin->setValue(1, 0);
  checkWorkedBand(h);

  // On an area 286 x 228, index 1 maps column j to texture column 285 - j and row i to row i.
  h.open(oneDarkTexel(286, 228, 10, 4));
  h.plugin->setValue(0, 0);
  const Geometry g = Geometry::exact(286, 228);
  const Picture input0 = noisePicture(g, 6);
  EXPECT_EQ(changedPixels(h.render(input0, noisePicture(g, 7), at(1, 255)), input0),
            (Pixels{{10, 4}}));
  h.plugin->setValue(1, 1);
  EXPECT_EQ(changedPixels(h.render(input0, noisePicture(g, 7), at(1, 255)), input0),
            (Pixels{{275, 4}}));
}

TEST_F(StreaksTest, EndsEmptyAreasAndMendedProgress) {
  h.open(patternTexture(286, 228, 8));
  h.plugin->setValue(1, 1);
  checkForwardEnds(h, Geometry{31, 19, 4, 1, 26, 17});
  for (const Geometry& empty : {Geometry{8, 4, 1, 1, 0, 3}, Geometry{8, 4, 1, 1, 6, 0}}) {
    const Picture unchanged = noisePicture(empty, 9);
    EXPECT_EQ(h.render(unchanged, noisePicture(empty, 10), at(50, 100)), unchanged);
  }
}
