// Fog through its built library: descriptor, open and close with their texture and mask, the
// mirrored mask, its stretch over the active area, and the colour rule against a plain reference
// written from the rule. The textures come from a provider, so every texel is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "test_host.h"

using namespace optest;

namespace {

constexpr uint32_t kModuleCode = 0x0B790000;
const std::string kDiamant = "texture /programs/kt3/diamant.png";
const std::string kKreis = "texture /programs/kt3/kreis.png";

// Two 180 x 144 textures with no symmetry of their own and no texel 0, so that at fogLevel 256 a
// white pixel fogged towards black comes out as exactly texel - 1 and gives the mask value back.
uint8_t diamantTexel(int k, int r) { return static_cast<uint8_t>(1 + (k * 7 + r * 31 + k * r) % 255); }
uint8_t kreisTexel(int k, int r) { return static_cast<uint8_t>(1 + (k * 13 + r * 3 + k * k) % 255); }

// The mask value at column c, row r of the 360 x 288 mask: the texture folded back over both centre
// lines, the texel read as byte row * 180 + column of the texture's buffer.
int maskValue(const Picture& texture, int c, int r) {
  const int k = std::min(c, 359 - c);
  const int row = std::min(r, 287 - r);
  return texture.bytes[static_cast<size_t>(row * 180 + k)];
}

// The fog rule over the active area, for a given fogLevel.
Picture referenceFog(const Picture& input, const Picture& texture, int level, uint32_t colour) {
  Picture out = input;
  const Geometry& g = input.geometry;
  for (int i = 0; i < g.height; ++i) {
    for (int j = 0; j < g.width; ++j) {
      const int h = maskValue(texture, j * 360 / g.width, i * 288 / g.height);
      uint8_t* p = out.area(j, i);
      for (int k = 0; k < 4; ++k) {
        const int c = static_cast<int>(colour >> (8 * k) & 0xFF);
        if (h < level - 255) {
          p[k] = static_cast<uint8_t>(c);
        } else if (h < level) {
          const int w = h + 255 - level;
          p[k] = static_cast<uint8_t>((p[k] * w + c * (255 - w)) / 255);
        }
      }
    }
  }
  return out;
}

Picture uniformTexture(int value) {
  return greyPicture(180, 144, [value](int, int) { return value; });
}

class FogTest : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> fog = loadPlugin("Fog");
  std::map<std::string, std::shared_ptr<const Picture>> textures{
      {"diamant.png", std::make_shared<const Picture>(greyPicture(180, 144, diamantTexel))},
      {"kreis.png", std::make_shared<const Picture>(greyPicture(180, 144, kreisTexel))}};

  void SetUp() override {
    fog->setTextureProvider([this](const std::string& name) -> std::shared_ptr<const Picture> {
      const auto found = textures.find(name);
      return found == textures.end() ? nullptr : found->second;
    });
  }
  void TearDown() override { expectNoFaults(fog->close()); }

  void setTexture(const std::string& name, const Picture& texture) {
    textures[name] = std::make_shared<const Picture>(texture);
  }

  ActionResult openWith(int shape) {
    fog->setValue(0, shape);
    ActionResult result = fog->open();
    expectNoFaults(result);
    EXPECT_TRUE(result.logs.empty());
    return result;
  }

  // Renders one frame; checks the call order and that nothing went wrong.
  Picture render(const Picture& input, int amount, uint32_t colour) {
    fog->setValue(1, amount);
    fog->setValue(2, colour);
    fog->setFieldProvider(fixedInputs(std::make_shared<const Picture>(input), nullptr));
    const ActionResult result = fog->render(at(4, 9));
    expectNoFaults(result);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.briefCalls(), (std::vector<std::string>{"get 0", "put input 0"}));
    if (!result.calls.empty()) {
      EXPECT_EQ(result.calls[0].position, 4u);
    }
    return result.output.value_or(Picture{});
  }

  // A render that must not happen: -1 before any host call.
  void expectRefusedRender() {
    const Picture input = noisePicture(Geometry::exact(8, 8), 1);
    fog->setFieldProvider(fixedInputs(std::make_shared<const Picture>(input), nullptr));
    const ActionResult result = fog->render(at(0, 1));
    expectNoFaults(result);
    EXPECT_EQ(result.status, -1);
    EXPECT_TRUE(result.calls.empty());
  }

  // The 360 x 288 mask as the plug-in sees it: a white frame fogged towards black at fogLevel 256
  // comes out as h - 1 in every byte for every h of 1 and up.
  std::vector<std::vector<int>> seenMask(const Geometry& g = Geometry::exact(360, 288)) {
    const Picture out = render(solidPicture(g, 0xFFFFFFFFu), 50, 0);
    std::vector<std::vector<int>> seen(static_cast<size_t>(g.height), std::vector<int>(static_cast<size_t>(g.width)));
    for (int i = 0; i < g.height; ++i) {
      for (int j = 0; j < g.width; ++j) {
        const uint8_t* p = out.area(j, i);
        EXPECT_TRUE(p[0] == p[1] && p[1] == p[2] && p[2] == p[3]) << j << "," << i;
        seen[static_cast<size_t>(i)][static_cast<size_t>(j)] = p[0] + 1;
      }
    }
    return seen;
  }
};

}  // namespace

TEST_F(FogTest, DescriptorWordByWord) {
  const auto& model = fog->model();
  ASSERT_EQ(model.pairs.size(), 8u);
  const uintptr_t tags[] = {OPE_Tag00, OPE_Tag01, OPE_Action, OPE_Ident,
                            OPE_Tag0D, OPE_Param1, OPE_Param2, OPE_Param3};
  for (size_t n = 0; n < 8; ++n) EXPECT_EQ(model.pairs[n].first, tags[n]) << n;
  EXPECT_EQ(model.pairs[0].second, 0u);
  EXPECT_EQ(model.pairs[1].second, 1u);
  EXPECT_TRUE(model.singleInput());
  EXPECT_EQ(model.pairs[4].second, 2u);
  EXPECT_EQ(model.ident, "$Id: KT3_Fog,v 1.0 2014/03/21 00:00:00 Vethmar $");

  const auto* shape = reinterpret_cast<const ParamChoice*>(model.pairs[5].second);
  EXPECT_EQ(shape->head, 0u | 910u << 16);
  EXPECT_EQ(shape->style, 0u);
  EXPECT_EQ(shape->value, 0);
  const uint32_t entries[] = {911, 912, 0};
  EXPECT_EQ(std::memcmp(shape->entries, entries, sizeof entries), 0);
  const uint32_t sliderWords[] = {2u | 920u << 16, 0, 921, 0, 0, 100, 50};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(model.pairs[6].second), sliderWords, sizeof sliderWords), 0);
  const uint32_t colourWords[] = {1u | 930u << 16, 0, 0xEB8080FF};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(model.pairs[7].second), colourWords, sizeof colourWords), 0);
}

TEST_F(FogTest, OtherActionsDoNothing) {
  openWith(0);
  for (int action : {0, 4, 5, 6, 7, 65535}) {
    const auto result = fog->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(result.status, 0) << action;
    EXPECT_TRUE(result.calls.empty()) << action;
  }
  EXPECT_EQ(fog->heldTextures(), std::vector<std::string>{"texture diamant.png"});
}

TEST_F(FogTest, OpenLoadsTheTextureTheShapeChoosesAndCloseGivesItBack) {
  for (int shape : {0, 1}) {
    const std::string name = shape == 0 ? "diamant.png" : "kreis.png";
    const ActionResult opened = openWith(shape);
    EXPECT_EQ(opened.status, 0);
    EXPECT_EQ(opened.briefCalls(), std::vector<std::string>{shape == 0 ? kDiamant : kKreis});
    EXPECT_EQ(fog->heldTextures(), std::vector<std::string>{"texture " + name});

    const ActionResult closed = fog->close();
    expectNoFaults(closed);
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.briefCalls(), std::vector<std::string>{"free texture " + name});
    EXPECT_TRUE(fog->heldTextures().empty());
    expectRefusedRender();
  }
}

// Mended: a render without a mask fails before any host call; a close without an open, or twice in
// a row, does nothing.
TEST_F(FogTest, WithoutAnOpenRenderFailsAndCloseDoesNothing) {
  expectRefusedRender();
  for (int n = 0; n < 2; ++n) {
    const ActionResult closed = fog->close();
    expectNoFaults(closed);
    EXPECT_EQ(closed.status, 0);
    EXPECT_TRUE(closed.calls.empty());
  }
  openWith(1);
  EXPECT_EQ(fog->close().briefCalls(), std::vector<std::string>{"free texture kreis.png"});
  EXPECT_TRUE(fog->close().calls.empty());
  expectRefusedRender();
}

TEST_F(FogTest, FailedLoadFailsTheOpenSilently) {
  textures.erase("diamant.png");
  const ActionResult opened = openWith(0);
  EXPECT_EQ(opened.status, -1);
  EXPECT_EQ(opened.briefCalls(), std::vector<std::string>{kDiamant});
  EXPECT_EQ(opened.calls[0].image, "null");
  expectRefusedRender();  // mended: no mask to render from
  const ActionResult closed = fog->close();
  EXPECT_EQ(closed.status, 0);
  EXPECT_TRUE(closed.calls.empty());
  // The other shape still opens.
  EXPECT_EQ(openWith(1).status, 0);
}

// Mended: a texture smaller than the 180 x 144 the mask is built from is given back, not read.
TEST_F(FogTest, TooSmallTextureIsGivenBackAndTheOpenFails) {
  for (const auto& [width, height] : {std::pair{179, 144}, {180, 143}, {1, 1}}) {
    const Picture small = greyPicture(width, height, diamantTexel);
    setTexture("diamant.png", small);
    const ActionResult opened = openWith(0);
    EXPECT_EQ(opened.status, -1) << width << "x" << height;
    EXPECT_EQ(opened.briefCalls(), (std::vector<std::string>{kDiamant, "free texture diamant.png"}));
    ASSERT_EQ(opened.freed.size(), 1u);
    EXPECT_EQ(opened.freed[0].content, small);
    EXPECT_TRUE(fog->heldTextures().empty());
    expectRefusedRender();
    EXPECT_TRUE(fog->close().calls.empty());
  }
}

// Mended: a second open gives back the first texture (and mask) before taking new ones.
TEST_F(FogTest, OpenTwiceReleasesTheFirstTextureAndMask) {
  openWith(0);
  const ActionResult again = openWith(1);
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.briefCalls(), (std::vector<std::string>{"free texture diamant.png", kKreis}));
  EXPECT_EQ(fog->heldTextures(), std::vector<std::string>{"texture kreis.png"});
  const Picture input = noisePicture(Geometry::exact(36, 24), 5);
  EXPECT_EQ(render(input, 37, 0x2060A0E0u), referenceFog(input, *textures["kreis.png"], 189, 0x2060A0E0u));

  textures.erase("diamant.png");
  const ActionResult failed = openWith(0);
  EXPECT_EQ(failed.status, -1);
  EXPECT_EQ(failed.briefCalls(), (std::vector<std::string>{"free texture kreis.png", kDiamant}));
  EXPECT_TRUE(fog->heldTextures().empty());
  expectRefusedRender();
}

TEST_F(FogTest, MissingInputIsLoggedAtLine93) {
  openWith(0);
  fog->setFieldProvider(fixedInputs(nullptr, nullptr));
  const ActionResult result = fog->render(at(5, 10));
  expectNoFaults(result);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.briefCalls(), (std::vector<std::string>{"get 0", "log 93"}));
  EXPECT_EQ(result.logs, (std::vector<ophost::LogRecord>{{4, 93, "src\\Fog", kModuleCode, " "}}));
  EXPECT_EQ(result.calls[0].position, 5u);
}

TEST_F(FogTest, MaskIsTheTextureMirroredIntoFourQuarters) {
  for (int shape : {0, 1}) {
    openWith(shape);
    const Picture& texture = *textures[shape == 0 ? "diamant.png" : "kreis.png"];
    const auto mask = seenMask();
    EXPECT_EQ(mask[0], mask[287]);
    for (int r = 0; r < 288; ++r) EXPECT_EQ(mask[r][0], mask[r][359]) << r;
    int mismatches = 0;
    for (int r = 0; r < 144; ++r) {
      for (int k = 0; k < 180; ++k) {
        const int v = *texture.at(k, r);
        mismatches += mask[r][k] != v;
        mismatches += mask[r][359 - k] != v;
        mismatches += mask[287 - r][k] != v;
        mismatches += mask[287 - r][359 - k] != v;
      }
    }
    EXPECT_EQ(mismatches, 0) << "shape " << shape;
  }
}

TEST_F(FogTest, WiderTextureIsReadIn180ByteRows) {
  // Only the first 180 x 144 bytes of the buffer are read, as rows of 180, whatever the stride.
  const Picture wide = greyPicture(200, 150, [](int k, int r) { return 1 + (k * 5 + r * 17) % 255; });
  setTexture("diamant.png", wide);
  EXPECT_EQ(openWith(0).status, 0);
  const auto mask = seenMask();
  int mismatches = 0;
  for (int r = 0; r < 288; ++r)
    for (int c = 0; c < 360; ++c) mismatches += mask[r][c] != maskValue(wide, c, r);
  EXPECT_EQ(mismatches, 0);
}

TEST_F(FogTest, MaskIsStretchedOverTheActiveArea) {
  openWith(0);
  const auto mask = seenMask();

  const auto doubled = seenMask(Geometry::exact(720, 576));
  int mismatches = 0;
  for (int i = 0; i < 576; ++i)
    for (int j = 0; j < 720; ++j) mismatches += doubled[i][j] != mask[i / 2][j / 2];
  EXPECT_EQ(mismatches, 0) << "720 x 576";

  const auto halved = seenMask(Geometry::exact(180, 144));
  mismatches = 0;
  for (int i = 0; i < 144; ++i)
    for (int j = 0; j < 180; ++j) mismatches += halved[i][j] != mask[2 * i][2 * j];
  EXPECT_EQ(mismatches, 0) << "180 x 144";

  for (const Geometry& g : {Geometry{400, 300, 7, 5, 361, 289}, Geometry{50, 40, 3, 2, 37, 29},
                            Geometry{9, 300, 4, 1, 1, 297}, Geometry{700, 6, 1, 3, 611, 1}}) {
    const auto odd = seenMask(g);
    mismatches = 0;
    for (int i = 0; i < g.height; ++i)
      for (int j = 0; j < g.width; ++j) mismatches += odd[i][j] != mask[i * 288 / g.height][j * 360 / g.width];
    EXPECT_EQ(mismatches, 0) << g.describe();
  }
}

TEST_F(FogTest, MatchesTheRuleOnEveryLayout) {
  openWith(0);
  std::vector<Geometry> layouts = typicalGeometries();
  layouts.push_back(Geometry{370, 290, 5, 1, 361, 287});
  uint32_t seed = 20;
  for (const Geometry& g : layouts) {
    for (int amount : {1, 25, 37, 50, 63, 99}) {
      const uint32_t colour = 0x9A3C71E5u * static_cast<uint32_t>(amount);
      const Picture input = noisePicture(g, ++seed);
      ASSERT_EQ(render(input, amount, colour), referenceFog(input, *textures["diamant.png"], amount * 512 / 100, colour))
          << g.describe() << " amount " << amount;
    }
  }
}

TEST_F(FogTest, WorkedValues) {
  const Geometry g{12, 9, 2, 3, 7, 5};
  const Picture white = solidPicture(g, 0xFFFFFFFFu);
  auto fogged = [&](int texel, const Picture& input, int amount, uint32_t colour) {
    setTexture("diamant.png", uniformTexture(texel));
    openWith(0);
    return render(input, amount, colour);
  };
  // fogAmount 50: mask values 0 and 1 give exactly the colour; 2 keeps 1/255 of the pixel; 255
  // gives (P * 254 + c) / 255.
  for (int texel : {0, 1}) {
    const Picture coloured = fogged(texel, white, 50, 0x11223344u);
    EXPECT_EQ(std::memcmp(coloured.area(0, 0), "\x44\x33\x22\x11", 4), 0) << "byte 0 from the low bits";
    EXPECT_EQ(coloured.pixel(8, 7), 0x11223344u) << texel;
  }
  EXPECT_EQ(fogged(2, white, 50, 0).pixel(4, 4), 0x01010101u);
  EXPECT_EQ(fogged(255, white, 50, 0xEB8080FFu).pixel(5, 5), 0xFEFEFEFFu);
  // A byte 16 blended towards 235 with w = 127 (h = 128 at fogLevel 256) becomes 125.
  EXPECT_EQ(fogged(128, solidPicture(g, 0x10101010u), 50, 0xEBEBEBEBu).pixel(6, 6), 0x7D7D7D7Du);

  // fogAmount 0 changes nothing, the image still goes back and the host's status comes back.
  const Picture noise = noisePicture(g, 3);
  fog->behaviour().putStatus = 7;
  setTexture("diamant.png", uniformTexture(0));
  openWith(0);
  fog->setValue(1, 0);
  fog->setFieldProvider(fixedInputs(std::make_shared<const Picture>(noise), nullptr));
  const ActionResult untouched = fog->render(at(0, 1));
  expectNoFaults(untouched);
  EXPECT_EQ(untouched.briefCalls(), (std::vector<std::string>{"get 0", "put input 0"}));
  EXPECT_EQ(untouched.status, 7);
  EXPECT_EQ(untouched.output.value(), noise);
}

// The band of blended mask values for the fogLevels the slider gives, every mask value 0..255 once:
// a texture whose first 256 texels count up, sampled one to one on a 360 x 288 area.
TEST_F(FogTest, FogLevelBandForEachMaskValue) {
  setTexture("diamant.png", greyPicture(180, 144, [](int k, int r) { return (k + r * 180) % 256; }));
  openWith(0);
  const Picture input = noisePicture(Geometry::exact(360, 288), 9);
  const uint32_t colour = 0x5AC3F00Fu;
  for (const auto& [amount, level] : {std::pair{0, 0}, {1, 5}, {25, 128}, {50, 256}, {99, 506}, {100, 512}}) {
    const Picture out = render(input, amount, colour);
    for (int h = 0; h < 256; ++h) {
      const int column = h % 180, row = h / 180;
      for (int k = 0; k < 4; ++k) {
        const int p = input.area(column, row)[k];
        const int c = static_cast<int>(colour >> (8 * k) & 0xFF);
        int expected = p;
        if (h < level - 255) expected = c;
        else if (h < level) expected = (p * (h + 255 - level) + c * (level - h)) / 255;
        ASSERT_EQ(out.area(column, row)[k], expected) << "amount " << amount << " h " << h << " byte " << k;
      }
    }
  }
}

TEST_F(FogTest, ShapeTakesEffectAtTheNextOpenOnly) {
  openWith(0);
  const Picture input = noisePicture(Geometry{40, 30, 2, 2, 36, 27}, 13);
  const Picture diamant = render(input, 50, 0x00808010u);
  EXPECT_EQ(diamant, referenceFog(input, *textures["diamant.png"], 256, 0x00808010u));

  fog->setValue(0, 1);
  EXPECT_EQ(render(input, 50, 0x00808010u), diamant);  // no texture call either: render checks calls

  fog->close();
  openWith(1);
  const Picture kreis = render(input, 50, 0x00808010u);
  EXPECT_NE(kreis, diamant);
  EXPECT_EQ(kreis, referenceFog(input, *textures["kreis.png"], 256, 0x00808010u));
}

TEST_F(FogTest, EmptyAreaIsHandedBackUnchanged) {
  openWith(0);
  for (const Geometry& g : {Geometry{10, 8, 2, 2, 0, 5}, Geometry{10, 8, 2, 2, 5, 0}, Geometry{10, 8, 0, 0, 0, 0}}) {
    const Picture input = noisePicture(g, 17);
    EXPECT_EQ(render(input, 100, 0x11223344u), input) << g.describe();
  }
}

// Mended: an amount outside 0..100, which the host never stores, is held to the nearer end instead
// of overflowing the level's product.
TEST_F(FogTest, AmountsOutsideTheRangeActAsTheNearerEnd) {
  openWith(0);
  const Picture input = noisePicture(Geometry{30, 20, 3, 2, 24, 16}, 5);
  const Picture none = render(input, 0, 0xEB8080FF);
  const Picture all = render(input, 100, 0xEB8080FF);
  fog->setFieldProvider(fixedInputs(std::make_shared<const Picture>(input), nullptr));
  for (int32_t amount : {INT32_MAX, 5000000, 101, -1, -5000000, INT32_MIN}) {
    *fog->model().params[1].valueWord = static_cast<uint32_t>(amount);
    const ActionResult result = fog->render(at(0, 1));
    expectNoFaults(result);
    EXPECT_EQ(result.output.value(), amount > 0 ? all : none) << amount;
  }
}
