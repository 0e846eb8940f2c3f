// Jolt through its built library: descriptor, dispatch, missing inputs, the host calls of a render,
// and the drawn picture against a plain reference written from the zoom rule and against the worked
// values for a 720 x 576 frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#include "test_host.h"

using namespace optest;
using ophost::HostCall;

namespace {

constexpr uint32_t kModuleCode = 0x0B770000;

// ---- The rule, written plainly --------------------------------------------------------------------

struct Axis {
  int offset = 0;
  int count = 0;
  double start = 0;
  double step = 0;
};

// Placement along one axis of `size` pixels for scale s.
Axis referenceAxis(int size, double s) {
  const int scaled = static_cast<int>(static_cast<double>(size) * s);
  const int spare = size - scaled;
  Axis axis;
  axis.offset = std::max(spare / 2, 0);
  axis.step = static_cast<double>(size) / static_cast<double>(scaled);
  if (scaled > size) {
    axis.count = size;
    axis.start = (static_cast<double>(scaled - size) * axis.step) * 0.5;
  } else {
    axis.count = scaled;
    axis.start = static_cast<double>(axis.offset) - static_cast<double>(spare) * 0.5;
  }
  return axis;
}

uint8_t referenceByte(const Picture& picture, double sx, double sy, int n) {
  const Geometry& g = picture.geometry;
  const int ix = static_cast<int>(sx);
  const int iy = static_cast<int>(sy);
  const double fx = sx - ix;
  const double fy = sy - iy;
  auto at = [&](int i, int j) {
    return static_cast<double>(
        picture.area(std::clamp(i, 0, g.width - 1), std::clamp(j, 0, g.height - 1))[n]);
  };
  const double top = (at(ix + 1, iy) - at(ix, iy)) * fx + at(ix, iy);
  const double bottom = (at(ix + 1, iy + 1) - at(ix, iy + 1)) * fx + at(ix, iy + 1);
  const double v = (bottom - top) * fy + top;
  if (v < 0) return 0;
  if (v > 255) return 255;
  return static_cast<uint8_t>(static_cast<int>(v));
}

// The output of one render: the background with the scaled picture drawn over it.
Picture referenceJolt(const Picture& input0, const Picture& input1, bool forwards, uint32_t position,
                      uint32_t length) {
  const Picture& picture = forwards ? input1 : input0;
  Picture out = forwards ? input0 : input1;
  if (length == 0) return out;
  const double p = std::min(position, length);
  const double l = length;
  const double f = forwards ? p / l : (l - p) / l;
  const double s = std::sin((f * 1.570796327) * 1.6) * (1.0 / std::sin(2.5132741232000004));
  const Axis across = referenceAxis(input0.geometry.width, s);
  const Axis down = referenceAxis(input0.geometry.height, s);
  double sy = down.start;
  for (int j = 0; j < down.count; ++j, sy += down.step) {
    double sx = across.start;
    for (int i = 0; i < across.count; ++i, sx += across.step) {
      for (int n = 0; n < 4; ++n) out.area(across.offset + i, down.offset + j)[n] = referenceByte(picture, sx, sy, n);
    }
  }
  return out;
}

// ---- Pictures ---------------------------------------------------------------------------------------

// Every pixel of the active area tells where it lies: byte 1 is 10 + column and byte 2 is 10 + row
// (held at 255), byte 0 is 255 on odd columns and 0 on even ones, byte 3 is 255 on even rows and 0 on
// odd ones. A sample between two columns thus shows its column's integer part in byte 1 and its
// fraction in byte 0 (likewise for rows in bytes 2 and 3).
Picture coordinatePicture(const Geometry& g) {
  Picture picture = solidPicture(g, 0x5A5A5A5Au);
  for (int j = 0; j < g.height; ++j) {
    for (int i = 0; i < g.width; ++i) {
      uint8_t* p = picture.area(i, j);
      p[0] = i % 2 == 1 ? 255 : 0;
      p[1] = static_cast<uint8_t>(std::min(10 + i, 255));
      p[2] = static_cast<uint8_t>(std::min(10 + j, 255));
      p[3] = j % 2 == 0 ? 255 : 0;
    }
  }
  return picture;
}

// The picture coordinates a drawn pixel of a coordinate picture was sampled at (for coordinates
// from 0 up to about 240), to within 1/255.
double sampledColumn(const uint8_t* p) {
  const int ix = p[1] - 10;
  return ix + (ix % 2 == 0 ? p[0] : 255 - p[0]) / 255.0;
}
double sampledRow(const uint8_t* p) {
  const int iy = p[2] - 10;
  return iy + (iy % 2 == 0 ? 255 - p[3] : p[3]) / 255.0;
}

// A background no drawn pixel of a coordinate picture can equal: its byte 2 is 0.
constexpr uint32_t kBackground = 0x80004010u;

// ---- Fixture ---------------------------------------------------------------------------------------

class JoltTest : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> jolt = loadPlugin("Jolt");
  int expectedStatus = 0;  // what the host answers to the put, and so what the render returns

  // Renders in the given mode; checks the host calls (fetches at the context's position, one abort
  // poll per drawn row, the picture given back unwritten, the background put) and no faults.
  ActionResult render(const Picture& input0, const Picture& input1, int32_t mode, uint32_t position,
                      uint32_t length) {
    *jolt->model().params[0].valueWord = static_cast<uint32_t>(mode);
    jolt->setFieldProvider(fixedInputs(input0, input1));
    ActionResult result = jolt->render(at(position, length));
    expectNoFaults(result);
    EXPECT_EQ(result.status, expectedStatus);
    const bool forwards = mode == 0;
    std::vector<std::string> calls{"get 0", "get 1"};
    calls.insert(calls.end(), static_cast<size_t>(result.count(HostCall::Kind::ChkAbort)), "abort?");
    calls.push_back(forwards ? "free input 1" : "free input 0");
    calls.push_back(forwards ? "put input 0" : "put input 1");
    EXPECT_EQ(result.briefCalls(), calls);
    EXPECT_EQ(result.calls[0].position, position);
    EXPECT_EQ(result.calls[1].position, position);
    if (result.freed.size() == 1) {
      EXPECT_EQ(result.freed[0].content, forwards ? input1 : input0) << "the picture was written";
    }
    return result;
  }

  Picture draw(const Picture& input0, const Picture& input1, int32_t mode, uint32_t position,
               uint32_t length) {
    return render(input0, input1, mode, position, length).output.value_or(Picture{});
  }
};

}  // namespace

TEST_F(JoltTest, DescriptorWordByWord) {
  const auto& model = jolt->model();
  ASSERT_EQ(model.pairs.size(), 6u);
  const uintptr_t tags[] = {OPE_Tag00, OPE_Tag01, OPE_Action, OPE_Ident, OPE_Tag0D, OPE_Param1};
  for (size_t n = 0; n < 6; ++n) EXPECT_EQ(model.pairs[n].first, tags[n]) << n;
  EXPECT_EQ(model.pairs[0].second, 0u);
  EXPECT_EQ(model.pairs[1].second, 0u);
  EXPECT_EQ(model.pairs[4].second, 2u);
  EXPECT_EQ(model.ident, "$Id: KT3_Jolt,v 1.0 2014/03/22 00:00:00 Vethmar $");
  const auto* mode = reinterpret_cast<const ParamChoice*>(model.pairs[5].second);
  EXPECT_EQ(mode->head, 0u | 710u << 16);
  EXPECT_EQ(mode->style, 0u);
  EXPECT_EQ(mode->value, 0);
  const uint32_t entries[] = {711, 712, 0};
  EXPECT_EQ(std::memcmp(mode->entries, entries, sizeof entries), 0);
}

TEST_F(JoltTest, OnlyRenderDoesAnything) {
  int fetches = 0;
  jolt->setFieldProvider([&](int32_t, uint32_t) -> std::shared_ptr<const Picture> {
    ++fetches;
    return nullptr;
  });
  for (int action : {0, 1, 2, 4, 5, 6, 7, 65535}) {
    const auto result = jolt->act(static_cast<uint16_t>(action), at(1, 2));
    EXPECT_EQ(result.status, 0) << action;
    EXPECT_TRUE(result.calls.empty()) << action;
  }
  EXPECT_EQ(fetches, 0);
}

TEST_F(JoltTest, MissingInputsAreLoggedAtTheirLinesAndNothingIsPut) {
  const auto picture = std::make_shared<const Picture>(noisePicture(Geometry::exact(6, 4), 1));
  for (int32_t mode : {0, 1}) {
    *jolt->model().params[0].valueWord = static_cast<uint32_t>(mode);
    jolt->setFieldProvider(fixedInputs(nullptr, picture));
    const auto noInput0 = jolt->render(at(50, 100));
    EXPECT_EQ(noInput0.status, -1);
    EXPECT_EQ(noInput0.briefCalls(), (std::vector<std::string>{"get 0", "log 90"}));
    EXPECT_EQ(noInput0.logs, (std::vector<ophost::LogRecord>{{4, 90, "src\\Jolt", kModuleCode, " "}}));
    expectNoFaults(noInput0);

    jolt->setFieldProvider(fixedInputs(picture, nullptr));
    const auto noInput1 = jolt->render(at(50, 100));
    EXPECT_EQ(noInput1.status, -1);
    EXPECT_EQ(noInput1.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "log 96"}));
    EXPECT_EQ(noInput1.logs, (std::vector<ophost::LogRecord>{{4, 96, "src\\Jolt", kModuleCode, " "}}));
    EXPECT_EQ(noInput1.reclaimed, std::vector<std::string>{"input 0"});
    expectNoFaults(noInput1);
  }
}

TEST_F(JoltTest, MatchesTheRuleInBothModesOnEveryLayout) {
  uint32_t seed = 20;
  for (const Geometry& g : typicalGeometries()) {
    for (int32_t mode : {0, 1}) {
      for (uint32_t position : {0u, 1u, 3u, 10u, 25u, 37u, 50u, 62u, 63u, 75u, 90u, 99u, 100u}) {
        const Picture input0 = noisePicture(g, ++seed);
        const Picture input1 = noisePicture(g, ++seed);
        const ActionResult result = render(input0, input1, mode, position, 100);
        ASSERT_EQ(result.output.value(), referenceJolt(input0, input1, mode == 0, position, 100))
            << g.describe() << " mode " << mode << " position " << position;
      }
    }
  }
  // The render's result is the host's answer to the put, whatever it is.
  jolt->behaviour().putStatus = 7;
  expectedStatus = 7;
  const Picture picture = noisePicture(Geometry::exact(8, 6), 3);
  EXPECT_EQ(render(picture, picture, 0, 40, 100).status, 7);
}

// The worked values for W = 720, H = 576, length 100, checked through the pixels of a coordinate
// picture drawn over a background it can never match; mode 1 shows the same at 100 - position.
TEST_F(JoltTest, WorkedValuesFor720By576) {
  struct Row {
    uint32_t position;
    int offX, offY, cols, rows;
    double sx0, sy0, stepX, stepY;
  };
  const Row table[] = {
      {0, 360, 288, 0, 0, 0, 0, 0, 0},
      {10, 208, 166, 304, 243, 0, -0.5, 2.368421, 2.370370},
      {25, 0, 0, 720, 576, 0, 0, 1, 1},
      {50, 0, 0, 720, 576, 137.319588, 109.817401, 0.618557, 0.618690},
      {62, 0, 0, 720, 576, 148.235294, 118.553626, 0.588235, 0.588355},
      {100, 0, 0, 720, 576, 0, 0, 1, 1},
  };
  const Geometry g = Geometry::exact(720, 576);
  const Picture picture = coordinatePicture(g);
  const Picture background = solidPicture(g, kBackground);
  for (const Row& row : table) {
    for (int32_t mode : {0, 1}) {
      const uint32_t position = mode == 0 ? row.position : 100 - row.position;
      SCOPED_TRACE(testing::Message() << "position " << position << " mode " << mode);
      const ActionResult result = mode == 0 ? render(background, picture, 0, position, 100)
                                            : render(picture, background, 1, position, 100);
      const Picture& out = result.output.value();
      EXPECT_EQ(result.count(HostCall::Kind::ChkAbort), row.rows);

      // The drawn rectangle, and every other pixel untouched.
      int drawn = 0, outside = 0;
      for (int j = 0; j < 576; ++j) {
        for (int i = 0; i < 720; ++i) {
          const bool inside = i >= row.offX && i < row.offX + row.cols && j >= row.offY &&
                              j < row.offY + row.rows;
          const bool changed = out.pixel(i, j) != kBackground;
          drawn += inside && changed;
          outside += !inside && changed;
        }
      }
      EXPECT_EQ(drawn, row.cols * row.rows);
      EXPECT_EQ(outside, 0);
      if (row.cols == 0) continue;

      // Where the first column and the first row sample, and how far the next ones step.
      const uint8_t* first = out.area(row.offX, row.offY);
      const uint8_t* second = out.area(row.offX + 1, row.offY + 1);
      if (row.sy0 < 0) {
        // -0.5 extrapolates the row bytes: 1.5 x 10 - 0.5 x 11 = 9.5, and 1.5 x 255 held at 255.
        EXPECT_EQ(first[2], 9);
        EXPECT_EQ(first[3], 255);
      } else {
        EXPECT_NEAR(sampledRow(first), row.sy0, 1 / 255.0 + 1e-6);
      }
      EXPECT_NEAR(sampledColumn(first), row.sx0, 1 / 255.0 + 1e-6);
      EXPECT_NEAR(sampledColumn(second) - sampledColumn(first), row.stepX, 2 / 255.0 + 1e-6);
      EXPECT_NEAR(sampledRow(second) - row.sy0, row.stepY, 1 / 255.0 + 1e-6);

      EXPECT_EQ(out, referenceJolt(mode == 0 ? background : picture, mode == 0 ? picture : background,
                                   mode == 0, position, 100));
    }
  }
}

// Full-size frames sample the last column and row with their right and lower neighbours taken from
// the edge; on the last layout the area ends at the buffer's last column and row, where those
// neighbours would lie past the buffer.
TEST_F(JoltTest, FullSizeFramesAreCopiesOfThePicture) {
  uint32_t seed = 100;
  std::vector<Geometry> layouts = typicalGeometries();
  layouts.push_back(Geometry{12, 9, 3, 2, 9, 7});
  for (const Geometry& g : layouts) {
    // Mode 0 at the end and at a quarter (scale a hair above 1), mode 1 at the start and at 75 %.
    const struct { int32_t mode; uint32_t position, length; } frames[] = {
        {0, 100, 100}, {0, 25, 100}, {0, 1, 4}, {0, 7, 7}, {1, 0, 100}, {1, 75, 100}, {1, 0, 1}};
    for (const auto& frame : frames) {
      const Picture input0 = noisePicture(g, ++seed);
      const Picture input1 = noisePicture(g, ++seed);
      const Picture& picture = frame.mode == 0 ? input1 : input0;
      const Picture& background = frame.mode == 0 ? input0 : input1;
      const ActionResult result = render(input0, input1, frame.mode, frame.position, frame.length);
      EXPECT_EQ(result.count(HostCall::Kind::ChkAbort), g.height);
      const Picture& out = result.output.value();
      expectOutsideAreaUnchanged(background, out);
      for (int j = 0; j < g.height; ++j)
        for (int i = 0; i < g.width; ++i)
          ASSERT_EQ(std::memcmp(out.area(i, j), picture.area(i, j), 4), 0)
              << g.describe() << " mode " << frame.mode << " at " << i << "," << j;
    }
  }
}

TEST_F(JoltTest, NothingIsDrawnAtZeroScaleOrWithoutLength) {
  const Geometry g{23, 17, 3, 2, 15, 11};
  const Picture input0 = noisePicture(g, 5);
  const Picture input1 = noisePicture(g, 6);
  const struct { int32_t mode; uint32_t position, length; } frames[] = {
      {0, 0, 100}, {1, 100, 100}, {1, 250, 100}, {0, 0, 0}, {0, 5, 0}, {1, 0, 0}, {1, 9, 0}};
  for (const auto& frame : frames) {
    const ActionResult result = render(input0, input1, frame.mode, frame.position, frame.length);
    EXPECT_EQ(result.count(HostCall::Kind::ChkAbort), 0) << frame.mode << " " << frame.position;
    EXPECT_EQ(result.output.value(), frame.mode == 0 ? input0 : input1)
        << frame.mode << " " << frame.position << "/" << frame.length;
  }
}

// Mended: a position past the length is rendered as the finished state; the inputs are still
// fetched at the position the context gives.
TEST_F(JoltTest, PositionPastTheLengthIsTheEnd) {
  const Geometry g{9, 31, 0, 4, 9, 27};
  const Picture input0 = noisePicture(g, 7);
  const Picture input1 = noisePicture(g, 8);
  for (uint32_t position : {101u, 150u, 0xFFFFFFFFu}) {
    EXPECT_EQ(draw(input0, input1, 0, position, 100), draw(input0, input1, 0, 100, 100)) << position;
    EXPECT_EQ(draw(input0, input1, 1, position, 100), input1) << position;
  }
  EXPECT_EQ(draw(input0, input1, 0, 12, 10), draw(input0, input1, 0, 10, 10));
}

TEST_F(JoltTest, AbortIsPolledOnceAfterEachDrawnRowAndItsAnswerIgnored) {
  const Geometry g = Geometry::exact(40, 30);
  const Picture input0 = noisePicture(g, 9);
  const Picture input1 = noisePicture(g, 10);
  // Rows drawn: H x s truncated, clipped to H.
  EXPECT_EQ(render(input0, input1, 0, 10, 100).count(HostCall::Kind::ChkAbort), 12);  // s 0.423097
  EXPECT_EQ(render(input0, input1, 1, 90, 100).count(HostCall::Kind::ChkAbort), 12);
  EXPECT_EQ(render(input0, input1, 0, 50, 100).count(HostCall::Kind::ChkAbort), 30);
  EXPECT_EQ(render(input0, input1, 0, 1, 100).count(HostCall::Kind::ChkAbort), 1);    // s 0.0427

  // A picture too narrow for a single column still polls once per row it would have.
  const Geometry tall = Geometry::exact(2, 50);
  const Picture narrow0 = noisePicture(tall, 11);
  const Picture narrow1 = noisePicture(tall, 12);
  const ActionResult thin = render(narrow0, narrow1, 0, 10, 100);  // PW 0, PH 21
  EXPECT_EQ(thin.count(HostCall::Kind::ChkAbort), 21);
  EXPECT_EQ(thin.output.value(), narrow0);

  // An abort request changes nothing: every row is still drawn.
  std::atomic<bool> abort{true};
  jolt->behaviour().abort = &abort;
  const ActionResult aborted = render(input0, input1, 0, 50, 100);
  EXPECT_EQ(aborted.count(HostCall::Kind::ChkAbort), 30);
  EXPECT_EQ(aborted.output.value(), referenceJolt(input0, input1, true, 50, 100));
}

// At 7 / 27 the scale is 1.0317562: 40 x s gives 41 columns but 30 x s still 30 rows, so a 40 x 30
// frame is cut at both sides and not at all at the top and bottom (a 30 x 40 frame the other way).
TEST_F(JoltTest, APictureLargerOnOneAxisIsCroppedOnThatAxisAlone) {
  const Geometry wide = Geometry::exact(40, 30);
  const Picture background = solidPicture(wide, kBackground);
  const Picture picture = coordinatePicture(wide);
  const Picture out = draw(background, picture, 0, 7, 27);
  EXPECT_EQ(out, referenceJolt(background, picture, true, 7, 27));
  for (int j = 0; j < 30; ++j) {
    // Every row samples its own row; columns start at (41 - 40) x (40 / 41) x 0.5 = 0.4878.
    EXPECT_EQ(out.area(0, j)[2], 10 + j);
    EXPECT_EQ(out.area(0, j)[3], j % 2 == 0 ? 255 : 0);
    EXPECT_NEAR(sampledColumn(out.area(0, j)), 20.0 / 41.0, 1 / 255.0);
  }
  EXPECT_NEAR(sampledColumn(out.area(39, 0)), 20.0 / 41.0 + 39 * 40.0 / 41.0, 1 / 255.0);

  const Geometry tall = Geometry::exact(30, 40);
  const Picture tallBackground = solidPicture(tall, kBackground);
  const Picture tallPicture = coordinatePicture(tall);
  const Picture tallOut = draw(tallPicture, tallBackground, 1, 20, 27);
  EXPECT_EQ(tallOut, referenceJolt(tallPicture, tallBackground, false, 20, 27));
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(tallOut.area(i, 0)[1], 10 + i);
    EXPECT_EQ(tallOut.area(i, 0)[0], i % 2 == 1 ? 255 : 0);
    EXPECT_NEAR(sampledRow(tallOut.area(i, 0)), 20.0 / 41.0, 1 / 255.0);
  }
}

// When W - PW and H - PH are odd the first drawn pixel samples (-0.5, -0.5), extrapolating from its
// four neighbours: byte = 1.5 x top - 0.5 x bottom, top = 1.5 x P00 - 0.5 x P10 and so on. Mended:
// values beyond a byte are held at 0 or 255.
TEST_F(JoltTest, TheMinusHalfStartExtrapolatesAndIsHeldWithinAByte) {
  // 11 x 7 at 3 / 20: s = 0.6263, PW 6 (spare 5, offset 2), PH 4 (spare 3, offset 1).
  const Geometry g{14, 9, 2, 1, 11, 7};
  Picture picture = noisePicture(g, 13);
  const uint8_t quad[4][4] = {  // P00, P10, P01, P11: key, both colour differences, luma
      {255, 0, 100, 61}, {0, 255, 50, 20}, {0, 255, 50, 40}, {255, 0, 100, 0}};
  for (int j = 0; j < g.height; ++j)
    for (int i = 0; i < g.width; ++i) std::memcpy(picture.area(i, j), quad[(i % 2) + 2 * (j % 2)], 4);
  const Picture background = noisePicture(g, 14);
  const ActionResult result = render(background, picture, 0, 3, 20);
  EXPECT_EQ(result.count(HostCall::Kind::ChkAbort), 4);
  const Picture& out = result.output.value();
  // key: 1.5 x 382.5 - 0.5 x (-127.5) = 637.5 -> 255; cb: -382.5 -> 0; cr: 175; luma: 92.25 -> 92.
  const uint8_t expected[4] = {255, 0, 175, 92};
  EXPECT_EQ(std::memcmp(out.area(2, 1), expected, 4), 0)
      << int(out.area(2, 1)[0]) << " " << int(out.area(2, 1)[1]) << " " << int(out.area(2, 1)[2])
      << " " << int(out.area(2, 1)[3]);
  EXPECT_EQ(out, referenceJolt(background, picture, true, 3, 20));
}

TEST_F(JoltTest, AnyNonZeroModeIsModeOne) {
  const Geometry g{23, 17, 3, 2, 15, 11};
  const Picture input0 = noisePicture(g, 17);
  const Picture input1 = noisePicture(g, 18);
  for (uint32_t position : {0u, 20u, 37u, 60u, 100u}) {
    const Picture modeOne = draw(input0, input1, 1, position, 100);
    EXPECT_EQ(modeOne, referenceJolt(input0, input1, false, position, 100));
    for (int32_t mode : {2, -1, 1000, INT32_MIN}) {
      EXPECT_EQ(draw(input0, input1, mode, position, 100), modeOne) << mode << " at " << position;
    }
  }
}
