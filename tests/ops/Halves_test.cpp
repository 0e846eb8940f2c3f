// Halves through its built library: descriptor, dispatch, missing inputs, the timing of the band
// and the push and squeeze tables, against plain out-of-place references written from the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "test_host.h"

using namespace optest;

namespace {

constexpr uint32_t kModuleCode = 0x0B700000;
enum { FILL, LAYOUT, SHARE, HOLD };

// Input 1's band D, in rows or columns of `extent`, from the timing rule (values within their
// ranges). Length 0 stays at the start; a position past the end is the end; without a closing
// phase the end is the closing phase's end state.
int64_t referenceBand(uint32_t length, uint32_t position, int share, int hold, int layout, int extent) {
  if (length == 0) return 0;
  const uint64_t p = std::min(position, length);
  const uint64_t h = uint64_t{length} * hold / 100;
  const uint64_t a = (length - h) / 2;
  const uint64_t b = length - a - h;
  const int64_t s = int64_t{share} * extent / 100;
  const int64_t q = int64_t{100 - share} * extent / 100;
  if (p < a) return s * int64_t(p) / int64_t(a);
  if (p < a + h) return s;
  if (b == 0) return layout < 4 ? extent : 0;
  const int64_t left = int64_t(length - p);
  return layout < 4 ? extent - q * left / int64_t(b) : s * left / int64_t(b);
}

// The frame with input 1's band D, read from untouched copies of both inputs (out of place).
Picture referenceSplit(const Picture& in0, const Picture& in1, int layout, bool squeeze, int d) {
  Picture out = in0;
  const int w = in0.geometry.width, h = in0.geometry.height;
  for (int j = 0; j < h; ++j) {
    for (int i = 0; i < w; ++i) {
      const Picture* from = &in0;
      int si = i, sj = j;
      switch (layout % 4) {
        case 0:  // input 1 at the bottom
          if (j < h - d) sj = squeeze ? j * h / (h - d) : j + d;
          else from = &in1, sj = squeeze ? (j - (h - d)) * h / d : j - (h - d);
          break;
        case 1:  // at the left
          if (i >= d) si = squeeze ? w - 1 - (w - 1 - i) * w / (w - d) : i - d;
          else from = &in1, si = squeeze ? i * w / d : i + w - d;
          break;
        case 2:  // at the top
          if (j >= d) sj = squeeze ? h - 1 - (h - 1 - j) * h / (h - d) : j - d;
          else from = &in1, sj = squeeze ? j * h / d : j + h - d;
          break;
        case 3:  // at the right
          if (i < w - d) si = squeeze ? i * w / (w - d) : i + d;
          else from = &in1, si = squeeze ? (i - (w - d)) * w / d : i - (w - d);
          break;
      }
      std::memcpy(out.area(i, j), from->area(si, sj), 4);
    }
  }
  return out;
}

int extentOf(const Geometry& g, int layout) { return layout % 2 == 0 ? g.height : g.width; }

class HalvesTest : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> halves = loadPlugin("Halves");

  // Renders with the settings already stored; checks the calls, faults and the area's surround.
  Picture render(const Picture& in0, const Picture& in1, ActionRequest request) {
    halves->setFieldProvider(fixedInputs(in0, in1));
    const auto result = halves->render(request);
    expectNoFaults(result);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.briefCalls(),
              (std::vector<std::string>{"get 0", "get 1", "free input 1", "put input 0"}));
    EXPECT_TRUE(result.logs.empty());
    if (result.freed.size() == 1) {
      EXPECT_EQ(result.freed[0].content, in1) << "input 1 was written";
    }
    Picture out = result.output.value_or(Picture{});
    expectOutsideAreaUnchanged(in0, out);
    return out;
  }
  Picture split(const Picture& in0, const Picture& in1, int fill, int layout, int share, int hold,
                ActionRequest request) {
    halves->setValue(FILL, fill);
    halves->setValue(LAYOUT, layout);
    halves->setValue(SHARE, share);
    halves->setValue(HOLD, hold);
    return render(in0, in1, request);
  }
  void storeRaw(size_t param, int32_t value) {
    *halves->model().params[param].valueWord = static_cast<uint32_t>(value);
  }
};

}  // namespace

TEST_F(HalvesTest, DescriptorWordByWord) {
  const auto& model = halves->model();
  ASSERT_EQ(model.pairs.size(), 9u);
  const uintptr_t tags[] = {OPE_Tag00, OPE_Tag01, OPE_Action, OPE_Ident, OPE_Tag0D,
                            OPE_Param1, OPE_Param2, OPE_Param3, OPE_Param4};
  for (size_t n = 0; n < 9; ++n) EXPECT_EQ(model.pairs[n].first, tags[n]) << n;
  EXPECT_EQ(model.pairs[0].second, 0u);
  EXPECT_EQ(model.pairs[1].second, 0u);
  EXPECT_EQ(model.pairs[4].second, 2u);
  EXPECT_EQ(model.ident, "$Id: KT3_Halves,v 1.0 2014/03/22 00:00:00 Vethmar $");

  const auto* fill = reinterpret_cast<const ParamChoice*>(model.pairs[5].second);
  const auto* layout = reinterpret_cast<const ParamChoice*>(model.pairs[6].second);
  EXPECT_EQ(fill->head, 110u << 16);
  EXPECT_EQ(layout->head, 120u << 16);
  EXPECT_EQ(fill->style, 0u);
  EXPECT_EQ(layout->style, 0u);
  EXPECT_EQ(fill->value, 0);
  EXPECT_EQ(layout->value, 0);
  const uint32_t fills[] = {111, 112, 0}, layouts[] = {121, 122, 123, 124, 125, 126, 127, 128, 0};
  EXPECT_EQ(std::memcmp(fill->entries, fills, sizeof fills), 0);
  EXPECT_EQ(std::memcmp(layout->entries, layouts, sizeof layouts), 0);
  const uint32_t share[] = {2u | 130u << 16, 0, 131, 0, 1, 99, 50};
  const uint32_t hold[] = {2u | 140u << 16, 0, 141, 0, 0, 100, 50};
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(model.pairs[7].second), share, sizeof share), 0);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(model.pairs[8].second), hold, sizeof hold), 0);
}

TEST_F(HalvesTest, OnlyRenderDoesAnythingAndMissingInputsAreLogged) {
  for (int action : {0, 1, 2, 4, 7, 65535}) {
    const auto result = halves->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(result.status, 0) << action;
    EXPECT_TRUE(result.calls.empty()) << action;
  }
  const auto picture = std::make_shared<const Picture>(noisePicture(Geometry::exact(4, 4), 1));
  halves->setFieldProvider(fixedInputs(nullptr, picture));
  const auto noInput0 = halves->render(at(5, 10));
  EXPECT_EQ(noInput0.status, -1);
  EXPECT_EQ(noInput0.briefCalls(), (std::vector<std::string>{"get 0", "log 84"}));
  EXPECT_EQ(noInput0.logs, (std::vector<ophost::LogRecord>{{4, 84, "src\\Halves", kModuleCode, " "}}));
  halves->setFieldProvider(fixedInputs(picture, nullptr));
  const auto noInput1 = halves->render(at(5, 10));
  EXPECT_EQ(noInput1.status, -1);
  EXPECT_EQ(noInput1.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "log 90"}));
  EXPECT_EQ(noInput1.logs, (std::vector<ophost::LogRecord>{{4, 90, "src\\Halves", kModuleCode, " "}}));
  EXPECT_EQ(noInput1.reclaimed, std::vector<std::string>{"input 0"});
  halves->behaviour().putStatus = 7;
  halves->setFieldProvider(fixedInputs(*picture, *picture));
  EXPECT_EQ(halves->render(at(5, 10)).status, 7);
}

TEST_F(HalvesTest, WorkedSeriesOfLength25On576RowsAndColumns) {
  const int opening[] = {0, 48, 96, 144, 192, 240};
  const int onwards[] = {288, 330, 371, 412, 453, 494, 535};
  const int back[] = {288, 246, 205, 164, 123, 82, 41};
  for (int layout = 0; layout < 8; ++layout) {
    const Geometry g = layout % 2 == 0 ? Geometry{5, 580, 1, 2, 3, 576} : Geometry{580, 4, 2, 1, 576, 2};
    const Picture in0 = noisePicture(g, 100u + layout), in1 = noisePicture(g, 200u + layout);
    for (uint32_t position = 0; position < 25; ++position) {
      const int d = position < 6 ? opening[position] : position < 18 ? 288
                    : layout < 4 ? onwards[position - 18] : back[position - 18];
      ASSERT_EQ(referenceBand(25, position, 50, 50, layout, 576), d);
      for (int fill : {0, 1}) {
        ASSERT_EQ(split(in0, in1, fill, layout, 50, 50, at(position, 25)),
                  referenceSplit(in0, in1, layout, fill != 0, d))
            << "layout " << layout << " fill " << fill << " position " << position;
      }
    }
  }
  // During the hold, layout 0 push: rows 0..287 show input 0's rows 288..575, the rest input 1's
  // rows 0..287.
  const Geometry g{5, 580, 1, 2, 3, 576};
  const Picture in0 = noisePicture(g, 1), in1 = noisePicture(g, 2);
  const Picture held = split(in0, in1, 0, 0, 50, 50, at(10, 25));
  EXPECT_EQ(std::memcmp(held.area(0, 0), in0.area(0, 288), 4), 0);
  EXPECT_EQ(std::memcmp(held.area(2, 287), in0.area(2, 575), 4), 0);
  EXPECT_EQ(std::memcmp(held.area(1, 288), in1.area(1, 0), 4), 0);
  EXPECT_EQ(std::memcmp(held.area(2, 575), in1.area(2, 287), 4), 0);
}

TEST_F(HalvesTest, PushAndSqueezeFollowTheTablesOnEveryGeometry) {
  uint32_t seed = 1000;
  for (const Geometry& g : typicalGeometries()) {
    for (int layout = 0; layout < 8; ++layout) {
      const Picture in0 = noisePicture(g, ++seed), in1 = noisePicture(g, ++seed);
      const int extent = extentOf(g, layout);
      std::vector<bool> seen(extent + 1u);
      for (int share : {1, 37, 99}) {
        for (uint32_t position = 0; position <= 40; ++position) {
          const int d = int(referenceBand(40, position, share, 20, layout, extent));
          ASSERT_TRUE(d >= 0 && d <= extent);
          seen[d] = true;
          for (int fill : {0, 1}) {
            ASSERT_EQ(split(in0, in1, fill, layout, share, 20, at(position, 40)),
                      referenceSplit(in0, in1, layout, fill != 0, d))
                << g.describe() << " layout " << layout << " fill " << fill << " share " << share
                << " position " << position;
          }
        }
      }
      // Every band from 0 to E (layouts 0 to 3) or to the largest S (4 to 7) comes up in turn.
      const int widest = layout < 4 ? extent : 99 * extent / 100;
      EXPECT_TRUE(seen[0] && seen[widest] && std::count(seen.begin(), seen.end(), true) > extent / 2)
          << g.describe() << " layout " << layout;
    }
  }
  // D = E is input 1 unchanged in both modes; D = 0 is input 0 unchanged.
  const Geometry g = typicalGeometries()[1];
  const Picture in0 = noisePicture(g, 5), in1 = noisePicture(g, 6);
  Picture whole1 = in0;
  for (int j = 0; j < g.height; ++j)
    for (int i = 0; i < g.width; ++i) std::memcpy(whole1.area(i, j), in1.area(i, j), 4);
  for (int layout = 0; layout < 4; ++layout) {
    for (int fill : {0, 1}) {
      EXPECT_EQ(split(in0, in1, fill, layout, 50, 0, at(10, 10)), whole1) << layout;
      EXPECT_EQ(split(in0, in1, fill, layout + 4, 50, 0, at(10, 10)), in0) << layout;
      EXPECT_EQ(split(in0, in1, fill, layout, 50, 0, at(0, 10)), in0) << layout;
    }
  }
}

TEST_F(HalvesTest, PhaseBoundaries) {
  const Geometry g{14, 15, 1, 2, 12, 12};
  const Picture in0 = noisePicture(g, 7), in1 = noisePicture(g, 8);
  auto shows = [&](int d, int layout, int fill, int share, int hold, uint32_t position, uint32_t length) {
    EXPECT_EQ(split(in0, in1, fill, layout, share, hold, at(position, length)),
              referenceSplit(in0, in1, layout, fill != 0, d))
        << "layout " << layout << " share " << share << " hold " << hold << " at " << position << "/" << length;
  };
  for (int fill : {0, 1}) {
    for (int layout : {0, 1, 6, 7}) {
      // Hold 100: every position below length is the still split S = 12 * 33 / 100 = 3.
      for (uint32_t position : {0u, 1u, 9u}) shows(3, layout, fill, 33, 100, position, 10);
      // Hold 0: A = 5, B = 6; position 4 opens to 6 * 4 / 5 = 4, position 5 closes from
      // 12 - 6 * 6 / 6 = 6 or 6 * 6 / 6 = 6, position 6 gives 7 or 5.
      shows(4, layout, fill, 50, 0, 4, 11);
      shows(6, layout, fill, 50, 0, 5, 11);
      shows(layout < 4 ? 7 : 5, layout, fill, 50, 0, 6, 11);
      // Length 1: position 0 is in the closing phase, E - Q = 12 - 8 = 4 or S = 3.
      shows(layout < 4 ? 4 : 3, layout, fill, 33, 50, 0, 1);
      // Last frames: E - Q / B and S / B reach E and 0 only when B exceeds Q and S.
      shows(layout < 4 ? 12 : 0, layout, fill, 50, 0, 99, 100);
      shows(layout < 4 ? 9 : 3, layout, fill, 50, 0, 3, 4);
    }
  }
  // Share 33 on 576 rows: the hold shows S = 190, the closing phase of layouts 0 to 3 starts at 191.
  const Geometry tall{4, 578, 1, 1, 2, 576};
  const Picture t0 = noisePicture(tall, 9), t1 = noisePicture(tall, 10);
  const Picture lastHeld = split(t0, t1, 0, 0, 33, 50, at(17, 25));
  const Picture firstClosing = split(t0, t1, 0, 0, 33, 50, at(18, 25));
  EXPECT_EQ(lastHeld, referenceSplit(t0, t1, 0, false, 190));
  EXPECT_EQ(firstClosing, referenceSplit(t0, t1, 0, false, 191));
  EXPECT_EQ(std::memcmp(lastHeld.area(0, 385), t0.area(0, 575), 4), 0);
  EXPECT_EQ(std::memcmp(firstClosing.area(0, 385), t1.area(0, 0), 4), 0);
}

TEST_F(HalvesTest, UnknownLayoutsAndFillsOutsideTheChoices) {
  const Geometry g{11, 9, 2, 1, 7, 6};
  const Picture in0 = noisePicture(g, 11), in1 = noisePicture(g, 12);
  halves->setValue(SHARE, 40);
  halves->setValue(HOLD, 30);
  for (int32_t layout : {8, 9, 100, -1, INT_MIN}) {
    storeRaw(LAYOUT, layout);
    EXPECT_EQ(render(in0, in1, at(3, 10)), in0) << layout;
  }
  for (int layout = 0; layout < 8; ++layout) {
    const int d = int(referenceBand(10, 3, 40, 30, layout, extentOf(g, layout)));
    for (int32_t fill : {2, 255, -1, INT_MIN}) {
      halves->setValue(LAYOUT, layout);
      storeRaw(FILL, fill);
      EXPECT_EQ(render(in0, in1, at(3, 10)), referenceSplit(in0, in1, layout, true, d)) << fill;
    }
  }
}

TEST_F(HalvesTest, MendedLengthPositionAndLongEffects) {
  const Geometry g{10, 9, 1, 2, 8, 6};
  const Picture in0 = noisePicture(g, 13), in1 = noisePicture(g, 14);
  for (int layout = 0; layout < 8; ++layout) {
    for (int fill : {0, 1}) {
      // Length 0 is the start, whatever the position.
      for (uint32_t position : {0u, 1u, 0xFFFFFFFFu})
        EXPECT_EQ(split(in0, in1, fill, layout, 50, 100, at(position, 0)), in0);
      // A position past the end shows the end.
      for (uint32_t position : {11u, 1000u, 0xFFFFFFFFu})
        EXPECT_EQ(split(in0, in1, fill, layout, 30, 40, at(position, 10)),
                  split(in0, in1, fill, layout, 30, 40, at(10, 10)));
      // Hold 100 at or past the end: the closing phase's end state.
      for (uint32_t position : {10u, 11u})
        EXPECT_EQ(split(in0, in1, fill, layout, 30, 100, at(position, 10)),
                  referenceSplit(in0, in1, layout, fill != 0, layout < 4 ? extentOf(g, layout) : 0));
    }
  }
  // Products past 32 bits. 4000 rows at share 50: S = Q = 2000; length 10^7 with hold 0 gives
  // A = B = 5 * 10^6. S * 4 * 10^6 (and Q or S times the same remainder) passes 2^32.
  const Geometry tall{3, 4002, 1, 1, 1, 4000};
  const Picture t0 = noisePicture(tall, 15), t1 = noisePicture(tall, 16);
  EXPECT_EQ(split(t0, t1, 0, 0, 50, 0, at(4000000, 10000000)), referenceSplit(t0, t1, 0, false, 1600));
  EXPECT_EQ(split(t0, t1, 0, 0, 50, 0, at(6000000, 10000000)), referenceSplit(t0, t1, 0, false, 2400));
  EXPECT_EQ(split(t0, t1, 1, 4, 50, 0, at(6000000, 10000000)), referenceSplit(t0, t1, 0, true, 1600));
  // length * hold past 32 bits: length 2^31 at hold 50 holds from 2^29 on.
  EXPECT_EQ(split(in0, in1, 0, 0, 50, 50, at((1u << 29) + 5, 1u << 31)), referenceSplit(in0, in1, 0, false, 3));
}

TEST_F(HalvesTest, OutOfRangeSettingsNeverLeaveTheActiveArea) {
  const Geometry g{12, 10, 2, 3, 7, 5};
  const Picture in0 = noisePicture(g, 17), in1 = noisePicture(g, 18);
  for (int layout = 0; layout < 8; ++layout) {
    halves->setValue(LAYOUT, layout);
    for (int32_t share : {0, 100, 101, 1000, -5, INT_MAX, INT_MIN}) {
      for (int32_t hold : {0, 50, 101, 1000, -1, INT_MAX, INT_MIN}) {
        for (uint32_t position : {0u, 3u, 7u, 9u, 10u}) {
          for (int fill : {0, 1}) {
            halves->setValue(FILL, fill);
            storeRaw(SHARE, share);
            storeRaw(HOLD, hold);
            const Picture out = render(in0, in1, at(position, 10));
            bool someBand = false;
            for (int d = 0; d <= extentOf(g, layout) && !someBand; ++d)
              someBand = out == referenceSplit(in0, in1, layout, fill != 0, d);
            EXPECT_TRUE(someBand) << "layout " << layout << " share " << share << " hold " << hold;
          }
        }
      }
    }
  }
}
