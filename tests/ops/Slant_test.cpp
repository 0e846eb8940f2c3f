// Slant through its built library: descriptor, open and close (with its logged failure), missing
// inputs, and the wipe against a plain reference of the rule, with a texture of any size, vertical
// mirroring and the backward runs that paint input 0 into input 1.
#include "texture_wipe_testing.h"

using namespace wipetest;

namespace {

const WipeModule kSlant = {"Slant", "diagonal.png", "src\\Slant", 0x0B720000, 81, 87};

bool isBackward(int direction) { return direction == 1 || direction == 2; }

// The texel of area pixel (j, i): the texture's own stride x rows, rows mirrored for indices 1, 3.
std::function<int(int, int)> slantTexels(const Picture& texture, const Geometry& g, int direction) {
  return [&texture, g, direction](int j, int i) {
    const int s = texture.geometry.stride;
    const int r = texture.geometry.rows;
    const int row = direction == 1 || direction == 3 ? g.height - 1 - i : i;
    return texelByte(texture, s, s * j / g.width, r * row / g.height);
  };
}

// The output by the rule: a forward run paints input 1 into input 0 at L; a backward run paints
// input 0 into input 1 at E + 255 - L.
Picture referenceSlant(const Picture& input0, const Picture& input1, const Picture& texture,
                       int direction, int softness, uint32_t position, uint32_t length) {
  Band band = forwardBand(softness, position, length);
  const auto texels = slantTexels(texture, input0.geometry, direction);
  if (!isBackward(direction)) return referenceWipe(input0, input1, band, texels);
  band.l = band.e + 255 - band.l;
  return referenceWipe(input1, input0, band, texels);
}

class SlantTest : public testing::Test {
 protected:
  WipeHarness h{kSlant};

  Picture slant(const Picture& input0, const Picture& input1, int direction, int softness,
                ActionRequest request) {
    h.plugin->setValue(0, softness);
    h.plugin->setValue(1, direction);
    return h.render(input0, input1, request, isBackward(direction));
  }
};

}  // namespace

TEST_F(SlantTest, Descriptor) {
  const auto& model =
      expectDescriptor(h, "$Id: KT3_Slant,v 1.0 2014/03/21 00:00:00 Vethmar $", 200, 2);
  expectDirectionChoice(model, 220, {8, 2, 4, 6}, 0);
}

TEST_F(SlantTest, OpenAndCloseWithTheLoggedFailure) {
  checkLifecycle(h, {patternTexture(0, 0, 1), patternTexture(0, 3, 2), patternTexture(4, 0, 3)},
                 187, patternTexture(1, 1, 4));
}

TEST_F(SlantTest, MissingInputs) { checkMissingInputs(h, patternTexture(3, 2, 5)); }

TEST_F(SlantTest, MatchesTheRuleForAnyTextureSizeInEveryDirection) {
  uint32_t seed = 400;
  for (const Picture& texture : {patternTexture(7, 5, 6), patternTexture(1, 1, 7),
                                 patternTexture(286, 228, 8), patternTexture(13, 300, 9)}) {
    h.open(texture);
    for (const Geometry& g : typicalGeometries()) {
      for (int direction = 0; direction < 4; ++direction) {
        for (const auto& [softness, position, length] : kFrames) {
          const Picture input0 = noisePicture(g, ++seed);
          const Picture input1 = noisePicture(g, ++seed);
          ASSERT_EQ(slant(input0, input1, direction, softness, at(position, length)),
                    referenceSlant(input0, input1, texture, direction, softness, position, length))
              << texture.geometry.describe() << " on " << g.describe() << " direction " << direction
              << " softness " << softness << " at " << position << "/" << length;
        }
      }
    }
  }
}

TEST_F(SlantTest, WorkedBandForwardAndBackward) {
  h.open(rampTexture());
  h.plugin->setValue(0, 20);
  h.plugin->setValue(1, 0);
  checkWorkedBand(h);
  // Index 2 at the same frame: L = 306 - 153 = 153 as well, but input 0 is painted into input 1.
  h.plugin->setValue(1, 2);
  checkWorkedBand(h, true);
}

TEST_F(SlantTest, RowsMirroredForIndicesOneAndThree) {
  // A 3 x 5 texture on a 6 x 10 frame: each texel covers 2 x 2 pixels.
  const Geometry g = Geometry::exact(6, 10);
  const Picture input0 = noisePicture(g, 10);
  const Picture input1 = noisePicture(g, 11);
  auto darkPixels = [&](int k, int r, int direction) {
    h.open(oneDarkTexel(3, 5, k, r));
    // Hard edge: forward just after the start, backward just before the end (L = 1 either way).
    const Picture out =
        slant(input0, input1, direction, 0, isBackward(direction) ? at(254, 255) : at(1, 255));
    return changedPixels(out, isBackward(direction) ? input1 : input0);
  };
  for (int direction : {0, 2})
    EXPECT_EQ(darkPixels(0, 0, direction), (Pixels{{0, 0}, {1, 0}, {0, 1}, {1, 1}}));
  for (int direction : {1, 3}) {
    EXPECT_EQ(darkPixels(0, 0, direction), (Pixels{{0, 8}, {1, 8}, {0, 9}, {1, 9}}))
        << "bottom row reads row 0";
    EXPECT_EQ(darkPixels(2, 4, direction), (Pixels{{4, 0}, {5, 0}, {4, 1}, {5, 1}}))
        << "top row reads row 4";
  }
}

TEST_F(SlantTest, BackwardRunsPaintInputZeroIntoInputOne) {
  const Picture texture = patternTexture(9, 4, 12);
  h.open(texture);
  const Geometry g{20, 14, 3, 2, 15, 11};
  const Picture input0 = noisePicture(g, 13);
  const Picture input1 = noisePicture(g, 14);
  const Pixels none;
  for (int direction : {1, 2}) {
    // At the start input 0 is painted over all of input 1; at the end input 1 is left untouched.
    const Picture start = slant(input0, input1, direction, 20, at(0, 100));
    EXPECT_EQ(changedPixels(start, input0), none) << direction;
    expectOutsideAreaUnchanged(input1, start);
    EXPECT_EQ(slant(input0, input1, direction, 20, at(100, 100)), input1) << direction;
    // Mended: length 0 is the start, a position past the end is the end, and a long effect still
    // ends on input 1.
    EXPECT_EQ(slant(input0, input1, direction, 20, at(0, 0)), start) << direction;
    EXPECT_EQ(slant(input0, input1, direction, 20, at(5, 0)), start) << direction;
    EXPECT_EQ(slant(input0, input1, direction, 20, at(101, 100)), input1) << direction;
    EXPECT_EQ(slant(input0, input1, direction, 100, at(10000000, 10000000)), input1) << direction;
    EXPECT_EQ(slant(input0, input1, direction, 100, at(9000000, 10000000)),
              referenceWipe(input1, input0, Band{255, 51}, slantTexels(texture, g, direction)))
        << "L = 510 - 459";
  }
  // A hard edge at the start of a backward run leaves texels of 255 on input 1.
  h.open(greyPicture(2, 2, [](int k, int) { return k == 0 ? 255 : 0; }));
  const Picture hard = slant(input0, input1, 2, 0, at(0, 100));
  for (int i = 0; i < g.height; ++i) {
    for (int j = 0; j < g.width; ++j) {
      const Picture& expected = 2 * j / g.width == 0 ? input1 : input0;
      ASSERT_EQ(std::memcmp(hard.area(j, i), expected.area(j, i), 4), 0) << j << "," << i;
    }
  }
}

TEST_F(SlantTest, ForwardEndsAndEmptyAreas) {
  for (int direction : {0, 3}) {
    h.open(patternTexture(5, 3, 15));
    h.plugin->setValue(1, direction);
    checkForwardEnds(h, Geometry{17, 12, 1, 2, 14, 9});
  }
  for (int direction = 0; direction < 4; ++direction) {
    for (const Geometry& empty : {Geometry{8, 4, 1, 1, 0, 3}, Geometry{8, 4, 1, 1, 6, 0}}) {
      const Picture input0 = noisePicture(empty, 16);
      const Picture input1 = noisePicture(empty, 17);
      EXPECT_EQ(slant(input0, input1, direction, 20, at(50, 100)),
                isBackward(direction) ? input1 : input0);
    }
  }
}

TEST_F(SlantTest, OneTexelCrossFadesTheWholeFrame) {
  // Texel 0 with E = 51 over 306 steps: blended from the first step, input 1 in full from step 51.
  h.open(greyPicture(1, 1, [](int, int) { return 0; }));
  const Geometry g{12, 9, 2, 1, 8, 7};
  const Picture input0 = noisePicture(g, 18);
  const Picture input1 = noisePicture(g, 19);
  const auto zero = [](int, int) { return 0; };
  EXPECT_EQ(slant(input0, input1, 0, 20, at(0, 306)), input0);
  EXPECT_EQ(slant(input0, input1, 0, 20, at(1, 306)),
            referenceWipe(input0, input1, Band{51, 1}, zero));
  EXPECT_EQ(slant(input0, input1, 0, 20, at(50, 306)),
            referenceWipe(input0, input1, Band{51, 50}, zero));
  EXPECT_NE(changedPixels(slant(input0, input1, 0, 20, at(50, 306)), input1).size(), 0u);
  EXPECT_EQ(changedPixels(slant(input0, input1, 0, 20, at(51, 306)), input1).size(), 0u);
  // With E = 0 it is a hard cut at the first step whose level passes 0.
  EXPECT_EQ(slant(input0, input1, 0, 0, at(1, 306)), input0);
  EXPECT_EQ(changedPixels(slant(input0, input1, 0, 0, at(2, 306)), input1).size(), 0u);
}
