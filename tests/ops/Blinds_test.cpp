// Blinds through its built library: descriptor, host calls, failures, the blind boundaries and
// progress, the worked line-by-line frames, and every setting against a plain reference written
// pixel by pixel from the composition rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "test_host.h"

using namespace optest;

namespace {

constexpr uint32_t kModuleCode = 0x0B760000;
constexpr uint32_t kNewImageFill = 0x108080FF;  // what the runtime fills a new image with
enum { kUp = 0, kRight = 1, kDown = 2, kLeft = 3 };
enum { kParamDirection = 0, kParamMotion = 1, kParamCount = 2, kParamTiming = 3 };

struct Settings {
  int direction = kUp;
  int motion = 0;  // 0 sliding, anything else fixed
  int count = 5;
  int timing = 0;  // 0 together, 1 staggered
};

// Blind boundaries b(0) .. b(N): k * (E / N) in single precision, truncated; the last is E.
std::vector<int> referenceBoundaries(int extent, int count) {
  std::vector<int> b(static_cast<size_t>(count) + 1, 0);
  const float step = static_cast<float>(extent) / static_cast<float>(count);
  for (int k = 1; k < count; ++k) b[static_cast<size_t>(k)] = static_cast<int>(static_cast<float>(k) * step);
  b[static_cast<size_t>(count)] = extent;
  return b;
}

// Progress p(i) of blind i with S lines, straight from the rule's four cases.
int referenceProgress(int i, int size, int count, int timing, bool upOrLeft, uint64_t position,
                      uint64_t length) {
  if (length == 0) return 0;
  if (position > length) position = length;
  const int64_t m = timing == 0 ? size : 2 * size;
  const int64_t q = m * static_cast<int64_t>(position) / static_cast<int64_t>(length);
  const int64_t d = static_cast<int64_t>(count - i) * size / count;
  if (timing == 0) return upOrLeft ? static_cast<int>(q) : static_cast<int>(size - (size - q));
  if (upOrLeft) return static_cast<int>(std::clamp<int64_t>(q - d, 0, size));
  const int64_t r = std::clamp<int64_t>(2 * size - q - d, 0, size);
  return static_cast<int>(size - r);
}

// The frame as the rule composes it, pixel by pixel, into a new image holding `fill`.
Picture referenceBlinds(const Picture& input0, const Picture& input1, const Settings& s,
                        uint32_t position, uint32_t length) {
  const Geometry& g = input0.geometry;
  Picture out = solidPicture(g, kNewImageFill);
  const bool rows = s.direction == kUp || s.direction == kDown;
  const bool upOrLeft = s.direction == kUp || s.direction == kLeft;
  const int extent = rows ? g.height : g.width;
  const std::vector<int> b = referenceBoundaries(extent, std::max(s.count, 1));
  for (int row = 0; row < g.height; ++row) {
    for (int column = 0; column < g.width; ++column) {
      const int line = rows ? row : column;
      size_t k = 0;
      while (!(b[k] <= line && line < b[k + 1])) ++k;
      const int start = b[k], size = b[k + 1] - b[k], j = line - start;
      const int p = referenceProgress(static_cast<int>(k), size, std::max(s.count, 1), s.timing,
                                      upOrLeft, position, length);
      bool fromInput1;
      int source;
      if (upOrLeft) {
        fromInput1 = j >= size - p;
        source = fromInput1 ? start + j - (size - p) : start + j + p;
      } else {
        fromInput1 = j < p;
        source = fromInput1 ? start + j + (size - p) : start + j - p;
      }
      if (s.motion != 0) source = line;
      const Picture& from = fromInput1 ? input1 : input0;
      std::memcpy(out.area(column, row),
                  rows ? from.area(column, source) : from.area(source, row), 4);
    }
  }
  return out;
}

class BlindsTest : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> blinds = loadPlugin("Blinds");

  void apply(const Settings& s) {
    blinds->setValue(kParamDirection, s.direction);
    blinds->setValue(kParamMotion, s.motion);
    blinds->setValue(kParamCount, s.count);
    blinds->setValue(kParamTiming, s.timing);
  }

  // Renders one frame; checks that it ran cleanly, in the one call order, leaving the inputs alone.
  Picture render(const Picture& input0, const Picture& input1, uint32_t position, uint32_t length) {
    blinds->setFieldProvider(fixedInputs(input0, input1));
    const ActionResult result = blinds->render(at(position, length));
    expectNoFaults(result);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.briefCalls(),
              (std::vector<std::string>{"get 0", "get 1", "alloc new image", "free input 0",
                                        "free input 1", "put new image"}));
    if (result.freed.size() == 2) {
      EXPECT_EQ(result.freed[0].content, input0) << "input 0 was written";
      EXPECT_EQ(result.freed[1].content, input1) << "input 1 was written";
    }
    return result.output.value_or(Picture{});
  }
  Picture render(const Settings& s, const Picture& input0, const Picture& input1,
                 uint32_t position, uint32_t length) {
    apply(s);
    return render(input0, input1, position, length);
  }
};

// Progress of each blind along the rows of a 2 x H frame of two solid inputs: the number of its
// rows that show input 1.
std::vector<int> progressFromRows(const Picture& out, const std::vector<int>& b, uint32_t input1) {
  std::vector<int> progress;
  for (size_t k = 0; k + 1 < b.size(); ++k) {
    int n = 0;
    for (int row = b[k]; row < b[k + 1]; ++row) n += out.pixel(0, row) == input1;
    progress.push_back(n);
  }
  return progress;
}

constexpr uint32_t kSolid0 = 0x11223344, kSolid1 = 0xAABBCCDD;

}  // namespace

TEST_F(BlindsTest, DescriptorWordByWord) {
  const auto& model = blinds->model();
  ASSERT_EQ(model.pairs.size(), 9u);
  const uintptr_t tags[] = {OPE_Tag00, OPE_Tag01, OPE_Action, OPE_Ident, OPE_Tag0D,
                            OPE_Param1, OPE_Param2, OPE_Param3, OPE_Param4};
  for (size_t n = 0; n < 9; ++n) EXPECT_EQ(model.pairs[n].first, tags[n]) << n;
  EXPECT_EQ(model.pairs[0].second, 0u);
  EXPECT_EQ(model.pairs[1].second, 0u);
  EXPECT_EQ(model.pairs[4].second, 2u);
  EXPECT_EQ(model.ident, "$Id: KT3_Blinds,v 1.0 2014/03/20 00:00:00 Vethmar $");

  auto choice = [&](size_t pair, uint32_t label, uint32_t style, std::vector<uint32_t> entries) {
    const auto* c = reinterpret_cast<const ParamChoice*>(model.pairs[pair].second);
    EXPECT_EQ(c->head, label << 16);
    EXPECT_EQ(c->style, style);
    EXPECT_EQ(c->value, 0);
    entries.push_back(0);
    EXPECT_EQ(std::memcmp(c->entries, entries.data(), entries.size() * 4), 0) << label;
  };
  choice(5, 610, 1, {1, 3, 5, 7});
  choice(6, 620, 0, {621, 622});
  choice(8, 640, 0, {641, 642});
  const uint32_t slider[] = {2u | 630u << 16, 0, 631, 0, 2, 20, 5};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(model.pairs[7].second), slider, sizeof slider), 0);
}

TEST_F(BlindsTest, HostCallsFailuresAndOtherActions) {
  const Geometry g{12, 9, 1, 2, 10, 6};
  const Picture input0 = noisePicture(g, 1), input1 = noisePicture(g, 2);
  blinds->setFieldProvider(fixedInputs(input0, input1));
  blinds->behaviour().putStatus = 7;
  const ActionResult ok = blinds->render(at(4, 9));
  expectNoFaults(ok);
  EXPECT_EQ(ok.status, 7) << "the put's own status is returned";
  ASSERT_EQ(ok.calls.size(), 6u);
  EXPECT_EQ(ok.calls[0].position, 4u);
  EXPECT_EQ(ok.calls[1].position, 4u);
  EXPECT_EQ(ok.calls[2].text, "-1, -1, 1, 0");
  EXPECT_EQ(ok.outputLabel, "new image");
  EXPECT_TRUE(ok.logs.empty());
  blinds->behaviour().putStatus = 0;

  blinds->behaviour().allocAnswersNull = true;
  const ActionResult noImage = blinds->render(at(4, 9));
  expectNoFaults(noImage);
  EXPECT_EQ(noImage.status, -1);
  EXPECT_EQ(noImage.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "alloc null", "log 94"}));
  EXPECT_EQ(noImage.logs, (std::vector<ophost::LogRecord>{{4, 94, "src\\Blinds", kModuleCode, " "}}));
  std::vector<std::string> reclaimed = noImage.reclaimed;
  std::sort(reclaimed.begin(), reclaimed.end());
  EXPECT_EQ(reclaimed, (std::vector<std::string>{"input 0", "input 1"}));
  blinds->behaviour().allocAnswersNull = false;

  const auto picture = std::make_shared<const Picture>(input0);
  blinds->setFieldProvider(fixedInputs(nullptr, picture));
  const ActionResult noInput0 = blinds->render(at(4, 9));
  EXPECT_EQ(noInput0.status, -1);
  EXPECT_EQ(noInput0.briefCalls(), (std::vector<std::string>{"get 0", "log 82"}));
  EXPECT_EQ(noInput0.logs, (std::vector<ophost::LogRecord>{{4, 82, "src\\Blinds", kModuleCode, " "}}));
  blinds->setFieldProvider(fixedInputs(picture, nullptr));
  const ActionResult noInput1 = blinds->render(at(4, 9));
  EXPECT_EQ(noInput1.status, -1);
  EXPECT_EQ(noInput1.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "log 88"}));
  EXPECT_EQ(noInput1.logs, (std::vector<ophost::LogRecord>{{4, 88, "src\\Blinds", kModuleCode, " "}}));
  expectNoFaults(noInput1);

  for (int action : {0, 1, 2, 4, 7, 65535}) {
    const ActionResult r = blinds->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(r.status, 0) << action;
    EXPECT_TRUE(r.calls.empty()) << action;
  }
}

TEST_F(BlindsTest, BoundariesInRowsAndColumns) {
  // Fixed pictures, blinds moving down (or right) together, half way: input 1 covers the first
  // half of every blind, so each blind's first line is where input 1 follows input 0.
  auto boundaries = [&](int extent, int count, bool rows) {
    const Geometry g = rows ? Geometry{3, extent + 2, 1, 1, 1, extent}
                            : Geometry{extent + 3, 3, 2, 1, extent, 1};
    const Picture out = render(Settings{rows ? kDown : kRight, 1, count, 0}, solidPicture(g, kSolid0),
                               solidPicture(g, kSolid1), 1, 2);
    std::vector<int> found;
    int composed = 0;
    for (int line = 0; line < extent; ++line) {
      const uint32_t px = rows ? out.pixel(g.x, g.y + line) : out.pixel(g.x + line, g.y);
      const uint32_t before = line == 0 ? kSolid0
                              : rows    ? out.pixel(g.x, g.y + line - 1)
                                        : out.pixel(g.x + line - 1, g.y);
      if (px == kSolid1 && before == kSolid0) found.push_back(line);
      composed += px != kNewImageFill;
    }
    EXPECT_EQ(composed, extent) << "every line composed, " << extent << " / " << count;
    found.push_back(extent);
    return found;
  };
  for (bool rows : {true, false}) {
    EXPECT_EQ(boundaries(576, 5, rows), (std::vector<int>{0, 115, 230, 345, 460, 576}));
    EXPECT_EQ(boundaries(576, 7, rows), (std::vector<int>{0, 82, 164, 246, 329, 411, 493, 576}));
    // Single precision alone ends this one at 30; the last blind is taken to the last line.
    EXPECT_EQ(boundaries(31, 7, rows), (std::vector<int>{0, 4, 8, 13, 17, 22, 26, 31}));
    EXPECT_EQ(boundaries(9, 2, rows), (std::vector<int>{0, 4, 9}));
    // Single precision, not exact or double arithmetic: 62 * 7 / 14 is 31, yet the boundary is 30;
    // 122 * 7 / 14 is 61, which double precision would truncate to 60.
    EXPECT_EQ(boundaries(62, 14, rows),
              (std::vector<int>{0, 4, 8, 13, 17, 22, 26, 30, 35, 39, 44, 48, 53, 57, 62}));
    EXPECT_EQ(boundaries(122, 14, rows),
              (std::vector<int>{0, 8, 17, 26, 34, 43, 52, 61, 69, 78, 87, 95, 104, 113, 122}));
  }
  EXPECT_EQ(referenceBoundaries(31, 7), (std::vector<int>{0, 4, 8, 13, 17, 22, 26, 31}));
}

TEST_F(BlindsTest, ProgressOfEachBlindBothTimings) {
  const Geometry g = Geometry::exact(2, 576);
  const Picture input0 = solidPicture(g, kSolid0), input1 = solidPicture(g, kSolid1);
  const std::vector<int> b{0, 115, 230, 345, 460, 576};
  struct Case {
    int direction, timing;
    uint32_t position;
    std::vector<int> progress;
  };
  const Case cases[] = {
      {kUp, 0, 10, {11, 11, 11, 11, 11}},       {kUp, 0, 50, {57, 57, 57, 57, 58}},
      {kUp, 0, 75, {86, 86, 86, 86, 87}},       {kUp, 0, 90, {103, 103, 103, 103, 104}},
      {kDown, 0, 50, {57, 57, 57, 57, 58}},     {kDown, 0, 90, {103, 103, 103, 103, 104}},
      {kUp, 1, 10, {0, 0, 0, 0, 0}},            {kUp, 1, 50, {0, 23, 46, 69, 93}},
      {kUp, 1, 75, {57, 80, 103, 115, 116}},    {kUp, 1, 90, {92, 115, 115, 115, 116}},
      {kDown, 1, 10, {23, 0, 0, 0, 0}},         {kDown, 1, 50, {115, 92, 69, 46, 23}},
      {kDown, 1, 75, {115, 115, 115, 103, 81}}, {kDown, 1, 90, {115, 115, 115, 115, 115}},
  };
  for (const Case& c : cases) {
    for (int motion : {0, 1}) {
      const Picture out = render(Settings{c.direction, motion, 5, c.timing}, input0, input1, c.position, 100);
      EXPECT_EQ(progressFromRows(out, b, kSolid1), c.progress)
          << "direction " << c.direction << " timing " << c.timing << " position " << c.position;
      for (int k = 0; k < 5; ++k) {
        const int size = b[static_cast<size_t>(k) + 1] - b[static_cast<size_t>(k)];
        EXPECT_EQ(referenceProgress(k, size, 5, c.timing, c.direction == kUp, c.position, 100),
                  c.progress[static_cast<size_t>(k)]);
      }
    }
  }
}

TEST_F(BlindsTest, WorkedTenByEightFrameLineByLine) {
  // N = 2, sliding, together, position 3 of 10: each output line (column or row, from the left or
  // the top) as {input, source line}.
  using Lines = std::vector<std::pair<int, int>>;
  for (const Geometry& g : {Geometry::exact(10, 8), Geometry{14, 11, 3, 2, 10, 8}}) {
    const Picture input0 = noisePicture(g, 60), input1 = noisePicture(g, 61);
    auto expected = [&](bool rows, const Lines& lines) {
      Picture out = solidPicture(g, kNewImageFill);
      for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 10; ++i) {
          const auto [input, source] = lines[static_cast<size_t>(rows ? j : i)];
          const Picture& from = input == 0 ? input0 : input1;
          std::memcpy(out.area(i, j), rows ? from.area(i, source) : from.area(source, j), 4);
        }
      return out;
    };
    auto frame = [&](int direction) { return render(Settings{direction, 0, 2, 0}, input0, input1, 3, 10); };
    EXPECT_EQ(frame(kRight), expected(false, {{1, 4}, {0, 0}, {0, 1}, {0, 2}, {0, 3},
                                              {1, 9}, {0, 5}, {0, 6}, {0, 7}, {0, 8}}));
    EXPECT_EQ(frame(kLeft), expected(false, {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {1, 0},
                                             {0, 6}, {0, 7}, {0, 8}, {0, 9}, {1, 5}}));
    EXPECT_EQ(frame(kUp), expected(true, {{0, 1}, {0, 2}, {0, 3}, {1, 0}, {0, 5}, {0, 6}, {0, 7}, {1, 4}}));
    EXPECT_EQ(frame(kDown), expected(true, {{1, 3}, {0, 0}, {0, 1}, {0, 2}, {1, 7}, {0, 4}, {0, 5}, {0, 6}}));
  }
}

TEST_F(BlindsTest, MatchesTheRuleForEverySettingOnEveryLayout) {
  uint32_t seed = 20;
  for (const Geometry& g : typicalGeometries()) {
    const Picture input0 = noisePicture(g, ++seed), input1 = noisePicture(g, ++seed);
    for (int direction = 0; direction < 4; ++direction)
      for (int motion : {0, 1})
        for (int timing : {0, 1})
          for (int count : {2, 3, 7, 20})
            for (uint32_t position : {1u, 13u, 50u, 77u, 99u}) {
              const Settings s{direction, motion, count, timing};
              // The whole buffer: outside the active area the new image keeps its fill.
              ASSERT_EQ(render(s, input0, input1, position, 100),
                        referenceBlinds(input0, input1, s, position, 100))
                  << g.describe() << " direction " << direction << " motion " << motion
                  << " timing " << timing << " N " << count << " position " << position;
            }
  }
}

TEST_F(BlindsTest, FixedPicturesKeepEveryPixelInPlace) {
  const Geometry g{23, 17, 3, 2, 15, 11};
  const Picture input0 = noisePicture(g, 5), input1 = noisePicture(g, 6);
  for (int direction = 0; direction < 4; ++direction)
    for (int timing : {0, 1})
      for (uint32_t position : {7u, 31u, 64u}) {
        const Picture out = render(Settings{direction, 1, 4, timing}, input0, input1, position, 80);
        int fromInput1 = 0;
        for (int j = 0; j < g.height; ++j)
          for (int i = 0; i < g.width; ++i) {
            const bool one = std::memcmp(out.area(i, j), input1.area(i, j), 4) == 0;
            ASSERT_TRUE(one || std::memcmp(out.area(i, j), input0.area(i, j), 4) == 0)
                << i << "," << j << " direction " << direction;
            fromInput1 += one;
          }
        if (position == 31) {
          EXPECT_GT(fromInput1, 0);
          EXPECT_LT(fromInput1, g.width * g.height);
        }
      }
}

TEST_F(BlindsTest, StartAndEndShowTheInputsExactly) {
  for (const Geometry& g : typicalGeometries()) {
    const Picture input0 = noisePicture(g, 40), input1 = noisePicture(g, 41);
    Picture all0 = solidPicture(g, kNewImageFill), all1 = all0;
    for (int j = 0; j < g.height; ++j)
      for (int i = 0; i < g.width; ++i) {
        std::memcpy(all0.area(i, j), input0.area(i, j), 4);
        std::memcpy(all1.area(i, j), input1.area(i, j), 4);
      }
    for (int direction = 0; direction < 4; ++direction)
      for (int motion : {0, 1})
        for (int timing : {0, 1}) {
          const Settings s{direction, motion, 6, timing};
          EXPECT_EQ(render(s, input0, input1, 0, 60), all0) << g.describe() << " " << direction;
          EXPECT_EQ(render(s, input0, input1, 60, 60), all1) << g.describe() << " " << direction;
          // Mended: a length of 0 shows input 0; a position past the length is the end.
          EXPECT_EQ(render(s, input0, input1, 0, 0), all0);
          EXPECT_EQ(render(s, input0, input1, 5, 0), all0);
          EXPECT_EQ(render(s, input0, input1, 61, 60), all1);
          EXPECT_EQ(render(s, input0, input1, 0xFFFFFFFFu, 60), all1);
        }
  }
}

TEST_F(BlindsTest, MendedValuesOutsideTheHostsRanges) {
  // The product of q is taken in 64 bits: 230 x 3e9 does not fit 32 bits.
  const Geometry tall = Geometry::exact(2, 576);
  const Picture solid0 = solidPicture(tall, kSolid0), solid1 = solidPicture(tall, kSolid1);
  const Picture late = render(Settings{kUp, 1, 5, 1}, solid0, solid1, 3000000000u, 4000000000u);
  EXPECT_EQ(progressFromRows(late, {0, 115, 230, 345, 460, 576}, kSolid1),
            (std::vector<int>{57, 80, 103, 115, 116}));
  const Picture nearEnd = render(Settings{kDown, 0, 5, 0}, solid0, solid1, 4294967294u, 4294967295u);
  EXPECT_EQ(progressFromRows(nearEnd, {0, 115, 230, 345, 460, 576}, kSolid1),
            (std::vector<int>{114, 114, 114, 114, 115}));

  // Blind counts the host never stores: below 1 is one blind; above 20, no more blinds than lines
  // (here, with fewer than 20 lines, 20 blinds), so a huge count cannot stall a render over empty
  // blinds. No line leaves its blind either way.
  const Geometry g{23, 17, 3, 2, 15, 11};
  const Picture input0 = noisePicture(g, 50), input1 = noisePicture(g, 51);
  for (int direction = 0; direction < 4; ++direction)
    for (int timing : {0, 1})
      for (int32_t count : {0, -4, 1, 40, INT32_MAX}) {
        apply(Settings{direction, 0, 5, timing});
        *blinds->model().params[kParamCount].valueWord = static_cast<uint32_t>(count);
        const Settings s{direction, 0, count < 1 ? 1 : count > 20 ? 20 : count, timing};
        EXPECT_EQ(render(input0, input1, 29, 70), referenceBlinds(input0, input1, s, 29, 70))
            << "N " << count << " direction " << direction << " timing " << timing;
      }

  // A direction index outside 0..3 composes nothing: the new image is put as it was handed out.
  apply(Settings{});
  for (int32_t direction : {4, -1}) {
    *blinds->model().params[kParamDirection].valueWord = static_cast<uint32_t>(direction);
    EXPECT_EQ(render(input0, input1, 29, 70), solidPicture(g, kNewImageFill)) << direction;
  }
}
