// Sunbeams through its built library: descriptor, open and close, missing inputs, and the wipe
// against a plain reference of the rule with the sunbeam texture as stored.
#include "texture_wipe_testing.h"

using namespace wipetest;

namespace {

const WipeModule kSunbeams = {"Sunbeams", "sunbeams__xy.png", "src\\Sunbeams", 0x0B750000, 84, 90};

// The texel of area pixel (j, i): rows of 286 bytes, 228 rows, never mirrored.
std::function<int(int, int)> sunbeamTexels(const Picture& texture, const Geometry& g) {
  return [&texture, g](int j, int i) {
    return texelByte(texture, 286, j * 286 / g.width, i * 228 / g.height);
  };
}

class SunbeamsTest : public testing::Test {
 protected:
  WipeHarness h{kSunbeams};
};

}  // namespace

TEST_F(SunbeamsTest, Descriptor) {
  expectDescriptor(h, "$Id: KT3_Sunbeams,v 1.0 2014/03/22 00:00:00 Vethmar $", 500, 1);
}

TEST_F(SunbeamsTest, OpenAndClose) {
  checkLifecycle(h, {patternTexture(285, 300, 1), patternTexture(400, 227, 2)}, 0,
                 patternTexture(286, 228, 3));
}

TEST_F(SunbeamsTest, MissingInputs) { checkMissingInputs(h, patternTexture(286, 228, 4)); }

TEST_F(SunbeamsTest, MatchesTheRuleOnEveryLayout) {
  const Picture texture = patternTexture(286, 228, 5);
  h.open(texture);
  uint32_t seed = 300;
  std::vector<Geometry> layouts = typicalGeometries();
  layouts.push_back(Geometry::exact(286, 228));
  layouts.push_back(Geometry{575, 458, 2, 1, 572, 456});
  for (const Geometry& g : layouts) {
    for (const auto& [softness, position, length] : kFrames) {
      h.plugin->setValue(0, softness);
      const Picture input0 = noisePicture(g, ++seed);
      const Picture input1 = noisePicture(g, ++seed);
      ASSERT_EQ(h.render(input0, input1, at(position, length)),
                referenceWipe(input0, input1, forwardBand(softness, position, length),
                              sunbeamTexels(texture, g)))
          << g.describe() << " softness " << softness;
    }
  }
}

TEST_F(SunbeamsTest, WorkedBandsAndSampling) {
  h.open(rampTexture());
  h.plugin->setValue(0, 20);
  checkWorkedBand(h);

  // Softness 100 at 5 of 10: E = 255, L = 255. A texel of 0 shows input 1 exactly, 1..254 blend
  // with w = t, 255 keeps input 0.
  h.plugin->setValue(0, 100);
  const Geometry g = Geometry::exact(286, 228);
  const Picture kept = solidPicture(g, 0x64FF00C8u);      // bytes 200, 0, 255, 100
  const Picture incoming = solidPicture(g, 0x6400FF0Au);  // bytes 10, 255, 0, 100
  const Picture out = h.render(kept, incoming, at(5, 10));
  EXPECT_EQ(out.pixel(0, 0), incoming.pixel(0, 0));
  EXPECT_EQ(out.pixel(1, 0), 0x6401FE0Au) << "w = 1: bytes (200 + 2540) / 255, 254, 1, 100";
  EXPECT_EQ(out.pixel(254, 0), 0x64FE01C7u) << "w = 254: bytes (50800 + 10) / 255, 1, 254, 100";
  EXPECT_EQ(out.pixel(255, 0), kept.pixel(255, 0));

  // 286 x 228 reads one to one; 572 x 456 repeats each texel over 2 x 2 pixels.
  h.open(oneDarkTexel(286, 228, 140, 100));
  h.plugin->setValue(0, 0);
  const Picture one = noisePicture(g, 6);
  EXPECT_EQ(changedPixels(h.render(one, noisePicture(g, 7), at(1, 255)), one),
            (Pixels{{140, 100}}));
  const Geometry twice = Geometry::exact(572, 456);
  const Picture two = noisePicture(twice, 8);
  EXPECT_EQ(changedPixels(h.render(two, noisePicture(twice, 9), at(1, 255)), two),
            (Pixels{{280, 200}, {281, 200}, {280, 201}, {281, 201}}));
}

TEST_F(SunbeamsTest, EndsEmptyAreasAndMendedProgress) {
  h.open(patternTexture(286, 228, 10));
  checkForwardEnds(h, Geometry{33, 21, 5, 2, 27, 18});
  for (const Geometry& empty : {Geometry{8, 4, 1, 1, 0, 3}, Geometry{8, 4, 1, 1, 6, 0}}) {
    const Picture unchanged = noisePicture(empty, 11);
    EXPECT_EQ(h.render(unchanged, noisePicture(empty, 12), at(50, 100)), unchanged);
  }
}
