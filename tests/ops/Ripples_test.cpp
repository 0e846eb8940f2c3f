// Ripples through its built library: descriptor, open and close, missing inputs, and the wipe
// against a plain reference of the rule with the ripple texture's four mirrorings.
#include "texture_wipe_testing.h"

using namespace wipetest;

namespace {

const WipeModule kRipples = {"Ripples", "ripples.png", "src\\Ripples", 0x0B730000, 84, 90};

// The texel of area pixel (j, i) by direction index: rows of 286 bytes, 228 rows, mirrored left to
// right for indices 1 and 2, top to bottom for 2 and 3.
std::function<int(int, int)> rippleTexels(const Picture& texture, const Geometry& g,
                                          int direction) {
  return [&texture, g, direction](int j, int i) {
    const int column = direction == 1 || direction == 2 ? g.width - 1 - j : j;
    const int row = direction == 2 || direction == 3 ? g.height - 1 - i : i;
    return texelByte(texture, 286, column * 286 / g.width, row * 228 / g.height);
  };
}

class RipplesTest : public testing::Test {
 protected:
  WipeHarness h{kRipples};
};

}  // namespace

TEST_F(RipplesTest, Descriptor) {
  const auto& model =
      expectDescriptor(h, "$Id: KT3_Ripples,v 1.0 2014/03/21 00:00:00 Vethmar $", 300, 2);
  expectDirectionChoice(model, 320, {8, 2, 4, 6}, 2);
}

TEST_F(RipplesTest, OpenAndClose) {
  checkLifecycle(
      h, {patternTexture(285, 228, 1), patternTexture(286, 227, 2), patternTexture(1, 1, 3)}, 0,
      patternTexture(286, 228, 4));
}

TEST_F(RipplesTest, MissingInputs) { checkMissingInputs(h, patternTexture(286, 228, 5)); }

TEST_F(RipplesTest, MatchesTheRuleInEveryDirectionOnEveryLayout) {
  // A larger texture is accepted and still read as rows of 286 bytes.
  for (const Picture& texture : {patternTexture(286, 228, 6), patternTexture(300, 231, 7)}) {
    h.open(texture);
    uint32_t seed = 100;
    for (const Geometry& g : typicalGeometries()) {
      for (int direction = 0; direction < 4; ++direction) {
        for (const auto& [softness, position, length] : kFrames) {
          h.plugin->setValue(0, softness);
          h.plugin->setValue(1, direction);
          const Picture input0 = noisePicture(g, ++seed);
          const Picture input1 = noisePicture(g, ++seed);
          ASSERT_EQ(h.render(input0, input1, at(position, length)),
                    referenceWipe(input0, input1, forwardBand(softness, position, length),
                                  rippleTexels(texture, g, direction)))
              << g.describe() << " direction " << direction << " softness " << softness << " at "
              << position << "/" << length;
        }
      }
    }
  }
}

TEST_F(RipplesTest, WorkedBandOneToOne) {
  h.open(rampTexture());
  h.plugin->setValue(0, 20);
  h.plugin->setValue(1, 0);
  checkWorkedBand(h);
}

TEST_F(RipplesTest, MirroringsAndSampling) {
  // One dark texel at (3, 1) on a hard edge just above 0: only the pixels reading it change.
  h.open(oneDarkTexel(286, 228, 3, 1));
  h.plugin->setValue(0, 0);
  auto darkPixels = [&](const Geometry& g, int direction) {
    h.plugin->setValue(1, direction);
    const Picture input0 = noisePicture(g, 8);
    return changedPixels(h.render(input0, noisePicture(g, 9), at(1, 255)), input0);
  };
  const Geometry one = Geometry::exact(286, 228);
  EXPECT_EQ(darkPixels(one, 0), (Pixels{{3, 1}}));
  EXPECT_EQ(darkPixels(one, 1), (Pixels{{282, 1}}));
  EXPECT_EQ(darkPixels(one, 2), (Pixels{{282, 226}}));
  EXPECT_EQ(darkPixels(one, 3), (Pixels{{3, 226}}));
  const Geometry twice{580, 460, 3, 2, 572, 456};
  EXPECT_EQ(darkPixels(twice, 0), (Pixels{{6, 2}, {7, 2}, {6, 3}, {7, 3}}));
  EXPECT_EQ(darkPixels(twice, 2), (Pixels{{564, 452}, {565, 452}, {564, 453}, {565, 453}}));

  // Index 2 maps the frame's top-left pixel to the texture's bottom-right texel.
  h.open(oneDarkTexel(286, 228, 285, 227));
  EXPECT_EQ(darkPixels(one, 2), (Pixels{{0, 0}}));
}

TEST_F(RipplesTest, EndsEmptyAreasAndMendedProgress) {
  h.open(patternTexture(286, 228, 10));
  h.plugin->setValue(1, 2);
  checkForwardEnds(h, Geometry{30, 20, 2, 3, 25, 14});
  for (const Geometry& empty : {Geometry{8, 4, 1, 1, 0, 3}, Geometry{8, 4, 1, 1, 6, 0}}) {
    const Picture unchanged = noisePicture(empty, 13);
    EXPECT_EQ(h.render(unchanged, noisePicture(empty, 14), at(50, 100)), unchanged);
  }
}

// Mended: a softness outside 0..100, which the host never stores, acts as the nearer end of the
// range instead of overflowing the band width's product.
TEST_F(RipplesTest, SoftnessOutsideTheRangeActsAsTheNearerEnd) {
  h.open(patternTexture(286, 228, 9));
  const Geometry g{40, 30, 2, 3, 33, 24};
  const Picture input0 = noisePicture(g, 11);
  const Picture input1 = noisePicture(g, 12);
  auto renderWith = [&](int32_t softness) {
    *h.plugin->model().params[0].valueWord = static_cast<uint32_t>(softness);
    return h.render(input0, input1, at(37, 100));
  };
  const Picture hardest = renderWith(0);
  const Picture softest = renderWith(100);
  for (int32_t softness : {INT32_MAX, 9000000, 101}) EXPECT_EQ(renderWith(softness), softest) << softness;
  for (int32_t softness : {-1, -9000000, INT32_MIN}) EXPECT_EQ(renderWith(softness), hardest) << softness;
}
