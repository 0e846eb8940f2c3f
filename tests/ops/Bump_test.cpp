// Bump through its built library: descriptor, dispatch, missing inputs, and the shading arithmetic
// against a plain reference written from the shading rule.
#include <gtest/gtest.h>

#include <cstring>

#include "test_host.h"

using namespace optest;
using ophost::HostCall;

namespace {

constexpr uint32_t kModuleCode = 0x0B780000;

// The rule, pixel by pixel over the active area: for rows 0..height-2 and columns 0..width-2,
// compare input 1's lumas at a and b (offsets per direction index), and move input 0's luma.
Picture referenceBump(const Picture& input0, const Picture& input1, int direction, int strength) {
  static const int offsets[8][4] = {  // a.dx, a.dy, b.dx, b.dy
      {0, 0, 0, 1}, {1, 0, 0, 1}, {1, 0, 0, 0}, {1, 1, 0, 0},
      {0, 1, 0, 0}, {0, 1, 1, 0}, {0, 0, 1, 0}, {0, 0, 1, 1}};
  Picture out = input0;
  const Geometry& g = input0.geometry;
  const int* o = offsets[direction];
  for (int r = 0; r + 1 < g.height; ++r) {
    for (int i = 0; i + 1 < g.width; ++i) {
      const int a = input1.area(i + o[0], r + o[1])[PIXEL_LUMA];
      const int b = input1.area(i + o[2], r + o[3])[PIXEL_LUMA];
      const int d = (b - a + 255) / 2;
      const int luma = input0.area(i, r)[PIXEL_LUMA];
      const int shaded = d > 128 ? luma + (d - 128) * strength / 50 : luma - (128 - d) * strength / 50;
      out.area(i, r)[PIXEL_LUMA] = static_cast<uint8_t>(std::clamp(shaded, 0, 255));
    }
  }
  return out;
}

class BumpTest : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> bump = loadPlugin("Bump");

  // Renders with the given inputs and settings; checks the call order and that nothing went wrong.
  Picture shade(const Picture& input0, const Picture& input1, int direction, int strength,
                ActionRequest request = at(3, 10)) {
    bump->setValue(0, direction);
    bump->setValue(1, strength);
    bump->setFieldProvider(fixedInputs(input0, input1));
    const ActionResult result = bump->render(request);
    expectNoFaults(result);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.briefCalls(),
              (std::vector<std::string>{"get 0", "get 1", "free input 1", "put input 0"}));
    EXPECT_EQ(result.outputLabel, "input 0");
    EXPECT_EQ(result.calls[0].position, request.position);
    EXPECT_EQ(result.calls[1].position, request.position);
    if (result.freed.size() == 1) {
      EXPECT_EQ(result.freed[0].content, input1) << "input 1 was written";
    }
    return result.output.value_or(Picture{});
  }
};

// A pair of inputs where input 1's luma is `a` at the area's top-left pixel and `b` right below it,
// the rest flat at `a`, and input 0's luma is `luma` everywhere.
std::pair<Picture, Picture> columnPair(int a, int b, int luma) {
  const Geometry g = Geometry::exact(4, 4);
  Picture input0 = solidPicture(g, 0x00808000u | static_cast<uint32_t>(luma) << 24 | 0xFF);
  Picture input1 = solidPicture(g, 0x008080FFu | static_cast<uint32_t>(a) << 24);
  input1.area(0, 1)[PIXEL_LUMA] = static_cast<uint8_t>(b);
  return {input0, input1};
}

int lumaAt(const Picture& p, int i, int j) { return p.area(i, j)[PIXEL_LUMA]; }

}  // namespace

TEST_F(BumpTest, DescriptorWordByWord) {
  const auto& model = bump->model();
  ASSERT_EQ(model.pairs.size(), 7u);
  const uintptr_t expectedTags[] = {OPE_Tag00, OPE_Tag01, OPE_Action, OPE_Ident, OPE_Tag0D, OPE_Param1, OPE_Param2};
  for (size_t n = 0; n < 7; ++n) EXPECT_EQ(model.pairs[n].first, expectedTags[n]) << n;
  EXPECT_EQ(model.pairs[0].second, 0u);
  EXPECT_EQ(model.pairs[1].second, 0u);
  EXPECT_EQ(model.pairs[4].second, 2u);
  EXPECT_EQ(model.ident, "$Id: KT3_Bump,v 1.0 2014/03/20 00:00:00 Vethmar $");

  const auto* direction = reinterpret_cast<const ParamChoice*>(model.pairs[5].second);
  EXPECT_EQ(direction->head, 0u | 810u << 16);
  EXPECT_EQ(direction->style, 1u);
  EXPECT_EQ(direction->value, 3);
  const uint32_t codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 0};
  EXPECT_EQ(std::memcmp(direction->entries, codes, sizeof codes), 0);

  const auto* strength = reinterpret_cast<const uint32_t*>(model.pairs[6].second);
  const uint32_t sliderWords[] = {2u | 820u << 16, 0, 821, 0, 0, 100, 50};
  EXPECT_EQ(std::memcmp(strength, sliderWords, sizeof sliderWords), 0);
  EXPECT_EQ(model.params[1].valueWord, &strength[6]);
}

TEST_F(BumpTest, OnlyRenderDoesAnything) {
  int fetches = 0;
  bump->setFieldProvider([&](int32_t, uint32_t) -> std::shared_ptr<const Picture> {
    ++fetches;
    return nullptr;
  });
  for (int action : {0, 1, 2, 4, 5, 6, 7, 65535}) {
    const auto result = bump->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(result.status, 0) << action;
    EXPECT_TRUE(result.calls.empty()) << action;
  }
  EXPECT_EQ(fetches, 0);
}

TEST_F(BumpTest, MissingInputsAreLoggedAtTheirLinesAndNothingIsPut) {
  const auto picture = std::make_shared<const Picture>(noisePicture(Geometry::exact(4, 4), 1));
  bump->setFieldProvider(fixedInputs(nullptr, picture));
  auto noInput0 = bump->render(at(5, 10));
  EXPECT_EQ(noInput0.status, -1);
  EXPECT_EQ(noInput0.briefCalls(), (std::vector<std::string>{"get 0", "log 84"}));
  EXPECT_EQ(noInput0.logs, (std::vector<ophost::LogRecord>{{4, 84, "src\\Bump", kModuleCode, " "}}));
  expectNoFaults(noInput0);

  bump->setFieldProvider(fixedInputs(picture, nullptr));
  auto noInput1 = bump->render(at(5, 10));
  EXPECT_EQ(noInput1.status, -1);
  EXPECT_EQ(noInput1.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "log 90"}));
  EXPECT_EQ(noInput1.logs, (std::vector<ophost::LogRecord>{{4, 90, "src\\Bump", kModuleCode, " "}}));
  EXPECT_EQ(noInput1.reclaimed, std::vector<std::string>{"input 0"});
  expectNoFaults(noInput1);
}

TEST_F(BumpTest, MatchesTheRuleInEveryDirectionOnEveryLayout) {
  uint32_t seed = 10;
  for (const Geometry& g : typicalGeometries()) {
    for (int direction = 0; direction < 8; ++direction) {
      for (int strength : {0, 30, 49, 50, 77, 100}) {
        const Picture input0 = noisePicture(g, ++seed);
        const Picture input1 = noisePicture(g, ++seed);
        const Picture out = shade(input0, input1, direction, strength);
        ASSERT_EQ(out, referenceBump(input0, input1, direction, strength))
            << g.describe() << " direction " << direction << " strength " << strength;
      }
    }
  }
}

TEST_F(BumpTest, WorkedValues) {
  // Flat input 1: d = 127, luma drops by strength / 50; a luma of 0 stays 0.
  const Geometry g{9, 7, 1, 2, 6, 4};
  const Picture flat = solidPicture(g, 0x408080FFu);
  const Picture grey = solidPicture(g, 0x64112233u);
  const Picture black = solidPicture(g, 0x00112233u);
  EXPECT_EQ(lumaAt(shade(grey, flat, 3, 50), 0, 0), 99);
  EXPECT_EQ(lumaAt(shade(grey, flat, 3, 100), 2, 2), 98);
  EXPECT_EQ(shade(grey, flat, 3, 49), grey);
  EXPECT_EQ(shade(grey, flat, 3, 0), grey);
  EXPECT_EQ(shade(black, flat, 3, 50), black);
  // The last row and column keep their luma.
  const Picture shaded = shade(grey, flat, 3, 50);
  EXPECT_EQ(lumaAt(shaded, 5, 0), 100);
  EXPECT_EQ(lumaAt(shaded, 0, 3), 100);
  EXPECT_EQ(lumaAt(shaded, 4, 2), 99);

  // Index 0 (code 1) compares the pixel below (added) with the pixel itself (subtracted).
  auto [in0, in1] = columnPair(0, 255, 100);
  EXPECT_EQ(lumaAt(shade(in0, in1, 0, 100), 0, 0), 255) << "+254, clipped";
  std::tie(in0, in1) = columnPair(255, 0, 100);
  EXPECT_EQ(lumaAt(shade(in0, in1, 0, 100), 0, 0), 0) << "-256, clipped";
  std::tie(in0, in1) = columnPair(100, 105, 100);  // d = 130
  EXPECT_EQ(lumaAt(shade(in0, in1, 0, 30), 0, 0), 101);
  std::tie(in0, in1) = columnPair(100, 101, 100);  // d = 128: neutral
  EXPECT_EQ(lumaAt(shade(in0, in1, 0, 100), 0, 0), 100);
  // Indices 0 and 4 compare the same pair with opposite signs, but are not mirrors.
  std::tie(in0, in1) = columnPair(100, 110, 100);
  EXPECT_EQ(lumaAt(shade(in0, in1, 0, 50), 0, 0), 104);
  EXPECT_EQ(lumaAt(shade(in0, in1, 4, 50), 0, 0), 94);
}

TEST_F(BumpTest, StrengthIsScaledOnlyWhenTheContextAsks) {
  const Geometry g = Geometry{10, 8, 2, 1, 7, 6};
  const Picture input0 = noisePicture(g, 71);
  const Picture input1 = noisePicture(g, 72);
  auto scaled = [&](uint8_t flags, int16_t num, int16_t den, int slider) {
    ActionRequest request = at(0, 1);
    request.flags = flags;
    request.scaleNum = num;
    request.scaleDen = den;
    return shade(input0, input1, 5, slider, request);
  };
  EXPECT_EQ(scaled(1, 1, 2, 50), referenceBump(input0, input1, 5, 25));
  EXPECT_EQ(scaled(1, 3, 4, 50), referenceBump(input0, input1, 5, 37));
  EXPECT_EQ(scaled(1, -3, -4, 50), referenceBump(input0, input1, 5, 37));
  EXPECT_EQ(scaled(0xFE, 1, 2, 50), referenceBump(input0, input1, 5, 50)) << "bit 0 clear";
  EXPECT_EQ(scaled(0, 0, 0, 40), referenceBump(input0, input1, 5, 40));
  // Mended: a zero denominator leaves the slider's value unscaled instead of dividing by zero.
  EXPECT_EQ(scaled(1, 9, 0, 40), referenceBump(input0, input1, 5, 40));
  // Mended: a negative strength keeps every stored luma within 0..255 (the reference clamps).
  EXPECT_EQ(scaled(1, -1, 1, 100), referenceBump(input0, input1, 5, -100));
  // Large scales saturate exactly as an unbounded strength would.
  EXPECT_EQ(scaled(1, 32767, 1, 100), referenceBump(input0, input1, 5, 3276700));
}

TEST_F(BumpTest, AreasTooSmallToShadeAndUnknownDirectionsComeBackUnchanged) {
  const Picture wide = noisePicture(Geometry{12, 5, 2, 1, 9, 1}, 3);
  const Picture narrow = noisePicture(Geometry{12, 5, 2, 1, 1, 4}, 4);
  const Picture empty = noisePicture(Geometry{12, 5, 2, 1, 0, 0}, 5);
  EXPECT_EQ(shade(wide, noisePicture(wide.geometry, 6), 3, 100), wide);
  EXPECT_EQ(shade(narrow, noisePicture(narrow.geometry, 7), 3, 100), narrow);
  EXPECT_EQ(shade(empty, noisePicture(empty.geometry, 8), 3, 100), empty);

  // Mended: a direction index outside 0..7 (which the host never stores) shades nothing.
  const Picture input0 = noisePicture(Geometry::exact(8, 8), 9);
  bump->setFieldProvider(fixedInputs(input0, noisePicture(input0.geometry, 10)));
  for (int32_t bad : {8, -1, 1000}) {
    *bump->model().params[0].valueWord = static_cast<uint32_t>(bad);
    const auto result = bump->render(at(0, 1));
    expectNoFaults(result);
    EXPECT_EQ(result.briefCalls(),
              (std::vector<std::string>{"get 0", "get 1", "free input 1", "put input 0"}));
    EXPECT_EQ(result.output.value(), input0) << bad;
  }
}
