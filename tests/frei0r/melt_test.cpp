// The frei0r plug-ins in the real melt, headless: transitions between two generated pictures with
// `progress` keyframed from 0 to 1, Fog as a filter, written as PNG frames and compared with
// ophost's renders of the same effect and position.
//
// How melt maps frames to the keyframed progress: keyframe times count from the transition's in
// point, "-1" is its last frame, and values in between are linear. A transition from frame IN to
// frame IN + N keyframed "0=0;-1=1" therefore gives frame IN + r the progress r / N, which is
// ophost's --length N --position r. melt's PNG sequence numbers its files from 1 (frame f is file
// f + 1).
#include <cctype>
#include <cstdio>
#include <fstream>

#include "frei0r_test_support.h"

using namespace f0rtest;

namespace {

constexpr int kWidth = 192;
constexpr int kHeight = 108;
constexpr int kIn = 2;      // the transition's first frame
constexpr int kSteps = 10;  // its length in steps: frames kIn .. kIn + kSteps
constexpr int kLast = kIn + kSteps + 2;  // the clips' last frame

class Melt : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    writeCard(dir / "a.png", "bars", kWidth, kHeight);
    writeCard(dir / "b.png", "rings", kWidth, kHeight);
    writeMeltProfile(dir / "profile", kWidth, kHeight);
  }

  // melt with our frei0r plug-ins only; `arguments` between the profile and the consumer. The
  // pictures come through the gdk pixbuf producer (the Qt one wants an X display).
  // melt reads no keys (stdin is /dev/null); runMelt tries a run that wrote nothing once more.
  Outcome melt(const std::string& arguments, const std::string& environment = "") {
    const std::string command =
        environment + " FREI0R_PATH=" + quoted(frei0rDir().string()) + " melt -quiet -profile " +
        quoted((dir / "profile").string()) + " " + arguments + " -consumer " +
        quoted("avformat:" + (dir / "melt%04d.png").string()) + " vcodec=png pix_fmt=rgb24 real_time=-1 </dev/null";
    return runMelt(command, dir, dir / "melt0001.png");
  }
  std::string clips() const {
    const std::string out = " out=" + std::to_string(kLast);
    return quoted("pixbuf:" + (dir / "a.png").string()) + out + " -track " +
           quoted("pixbuf:" + (dir / "b.png").string()) + out;
  }
  RgbImage frame(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "melt%04d.png", number + 1);
    return readPng(dir / name);
  }
  void expectSame(const RgbImage& melted, const RgbImage& reference, const std::string& what) {
    const Difference d = difference(melted, reference);
    EXPECT_EQ(d.pixels, 0u) << what << ": largest difference " << d.largest << " (tolerance "
                            << roundTripTolerance() << ")";
  }
};

struct TransitionCase {
  const char* effect;
  std::string meltSettings;            // frei0r parameters as melt properties
  std::vector<std::string> settings;   // the same for ophost
};

void PrintTo(const TransitionCase& c, std::ostream* out) { *out << c.effect; }

class MeltTransition : public Melt, public testing::WithParamInterface<TransitionCase> {};

}  // namespace

// Every frame of the transition is ophost's frame at the same position, and the frames around it
// are melt's own (the upper track, untouched by the effect).
TEST_P(MeltTransition, FramesMatchOphost) {
  REQUIRE_MELT();
  const TransitionCase& c = GetParam();
  std::string service = "frei0r.kt3_" + std::string(c.effect);
  for (char& ch : service) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  const std::string transition = " -transition " + service +
                                 " in=" + std::to_string(kIn) + " out=" + std::to_string(kIn + kSteps) +
                                 " a_track=0 b_track=1 " + quoted("progress=0=0;-1=1") + " " + c.meltSettings;
  const Outcome result = melt(clips() + transition);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err.find("kt3 frei0r"), std::string::npos) << result.err;
  for (int r = 0; r <= kSteps; ++r) {
    expectSame(frame(kIn + r),
               ophostRender(dir, c.effect, dir / "a.png", dir / "b.png", kSteps, static_cast<uint32_t>(r),
                            c.settings),
               std::string(c.effect) + " frame " + std::to_string(kIn + r));
  }
  const RgbImage upper = readPng(dir / "b.png");
  expectSame(frame(kIn - 1), upper, "before the transition");
  expectSame(frame(kLast), upper, "after the transition");
}

INSTANTIATE_TEST_SUITE_P(
    Effects, MeltTransition,
    testing::Values(
        TransitionCase{"Halves", "fill=1 layout=0.142857 hold=0", {"fill=squeeze", "layout=left", "hold=0"}},
        TransitionCase{"Jolt", "", {}},
        TransitionCase{"Blinds", "direction=1 count=0.25 timing=1",
                       {"direction=left", "count=5", "timing=staggered"}},
        TransitionCase{"Ripples", "softness=0.5 direction=0", {"softness=50", "direction=up-left"}},
        TransitionCase{"Sunbeams", "", {}},
        TransitionCase{"Bump", "light=0.571429 strength=1", {"light=down", "strength=100"}}),
    [](const testing::TestParamInfo<TransitionCase>& test) { return std::string(test.param.effect); });

// Fog as a filter; two Fog filters of different shapes on one clip, which makes the bridge re-open
// the plug-in between them for every frame; and a transition and a filter in one melt process.
TEST_F(Melt, FogAsAFilter) {
  REQUIRE_MELT();
  const std::string clip = quoted("pixbuf:" + (dir / "a.png").string()) + " out=3";
  Outcome result = melt(clip + " -filter frei0r.kt3_fog shape=1 amount=0.7 " + quoted("colour=#ff8000"));
  ASSERT_EQ(result.status, 0) << result.err;
  const RgbImage circle = ophostRender(dir, "Fog", dir / "a.png", "", 10, 0,
                                       {"shape=circle", "amount=70", "colour=#FF8000"});
  for (int f = 0; f <= 3; ++f) expectSame(frame(f), circle, "Fog frame " + std::to_string(f));

  result = melt(clip + " -filter frei0r.kt3_fog shape=1 amount=0.7 " + quoted("colour=#ff8000") +
                " -filter frei0r.kt3_fog shape=0 amount=0.3");
  ASSERT_EQ(result.status, 0) << result.err;
  writePng(dir / "circle.png", circle);
  const RgbImage both = ophostRender(dir, "Fog", dir / "circle.png", "", 10, 0, {"shape=diamond", "amount=30"});
  for (int f = 0; f <= 3; ++f) expectSame(frame(f), both, "two Fogs, frame " + std::to_string(f));

  // Fog on the upper clip, Halves from the lower one into it: two effects in one process.
  const std::string out = " out=" + std::to_string(kLast);
  result = melt(quoted("pixbuf:" + (dir / "a.png").string()) + out + " -track " +
                quoted("pixbuf:" + (dir / "b.png").string()) + out + " -filter frei0r.kt3_fog amount=0.5" +
                " -transition frei0r.kt3_halves in=" + std::to_string(kIn) + " out=" +
                std::to_string(kIn + kSteps) + " " + quoted("progress=0=0;-1=1"));
  ASSERT_EQ(result.status, 0) << result.err;
  writePng(dir / "fogged_b.png", ophostRender(dir, "Fog", dir / "b.png", "", 10, 0, {"amount=50"}));
  expectSame(frame(kIn + 5), ophostRender(dir, "Halves", dir / "a.png", dir / "fogged_b.png", kSteps, 5, {}),
             "Halves then Fog");
}

// With its plug-ins, or the textures they open with, missing the bridge still loads, says why on
// stderr, and passes frames through; melt finishes normally.
TEST_F(Melt, MissingPluginsAndTexturesPassFramesThrough) {
  REQUIRE_MELT();
  const std::string transition = " -transition frei0r.kt3_ripples in=0 out=" + std::to_string(kLast) +
                                 " progress=0.5";
  Outcome result = melt(clips() + transition, "OPHOST_PLUGINS=" + quoted((dir / "nowhere").string()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("kt3 frei0r Ripples: cannot load the plug-in"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("no such plug-in file"), std::string::npos) << result.err;
  expectSame(frame(3), readPng(dir / "a.png"), "passed through");

  // No textures: Ripples and Fog cannot be opened, on every frame of a transition and a filter.
  result = melt(clips() + " -filter frei0r.kt3_fog shape=1" + transition,
                "OPHOST_TEXTURES=" + quoted((dir / "nowhere").string()));
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* effect : {"Ripples", "Fog"}) {
    EXPECT_NE(result.err.find("kt3 frei0r " + std::string(effect) + ": the plug-in cannot be opened"),
              std::string::npos)
        << result.err;
  }
  EXPECT_NE(result.err.find("no such file"), std::string::npos) << result.err;
  for (int f : {0, 3, kLast}) {
    expectSame(frame(f), readPng(dir / "a.png"), "passed through, frame " + std::to_string(f));
  }

  // A texture directory whose ripples.png is a link to a picture outside it: refused, as ophost
  // refuses it.
  fs::create_directories(dir / "textures");
  fs::copy_file(fs::path(OP_TEXTURE_DIR) / "ripples.png", dir / "outside.png");
  fs::create_symlink(dir / "outside.png", dir / "textures" / "ripples.png");
  result = melt(clips() + transition, "OPHOST_TEXTURES=" + quoted((dir / "textures").string()));
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.err.find("ripples.png leads out of the texture directory"), std::string::npos) << result.err;
  expectSame(frame(3), readPng(dir / "a.png"), "passed through");
}

// With `frames` set to the transition's length, every frame is ophost's at that length whatever the
// settings: Halves divides its phases and bands in whole frames of the length it is given, so with
// 10000 steps it came out different (hold 50 at 50 frames: frames 1-12 and 38-49; hold 0 at 49:
// positions 10 and 40).
TEST_F(Melt, HalvesAtTheTransitionsOwnLength) {
  REQUIRE_MELT();
  for (const int length : {49, 50, 17}) {
    const std::string out = " out=" + std::to_string(length + kIn + 1);
    const std::string clips = quoted("pixbuf:" + (dir / "a.png").string()) + out + " -track " +
                              quoted("pixbuf:" + (dir / "b.png").string()) + out;
    for (const char* hold : {"0", "50"}) {
      SCOPED_TRACE("length " + std::to_string(length) + ", hold " + hold);
      for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("melt", 0) == 0) fs::remove(entry.path());
      }
      const Outcome result =
          melt(clips + " -transition frei0r.kt3_halves in=" + std::to_string(kIn) + " out=" +
               std::to_string(kIn + length) + " " + quoted("progress=0=0;-1=1") + " frames=" +
               std::to_string(length) + " hold=" + (hold[0] == '0' ? "0" : "0.5"));
      ASSERT_EQ(result.status, 0) << result.err;
      const std::vector<RgbImage> reference =
          ophostSequence(dir, "Halves", dir / "a.png", dir / "b.png", static_cast<uint32_t>(length),
                         {std::string("hold=") + hold});
      ASSERT_EQ(reference.size(), static_cast<size_t>(length + 1));
      std::vector<int> wrong;
      for (int r = 0; r <= length; ++r) {
        if (difference(frame(kIn + r), reference[static_cast<size_t>(r)]).pixels != 0) wrong.push_back(r);
      }
      EXPECT_TRUE(wrong.empty()) << wrong.size() << " positions differ from ophost's, the first " << wrong[0];
    }
  }
}

// MLT cuts a frei0r service's frames into bands when it has a `threads` property (0: one band per
// core; 2: two), constructing the instance at a band's height. A band of a whole-frame effect is a
// wrong picture: the bridge says so and every band of every frame passes through (input 0, the
// lower track), the first band of the first frame too. MLT_SLICES_COUNT makes MLT's pool four
// threads whatever the machine.
TEST_F(Melt, FramesCutIntoBandsAreRefused) {
  REQUIRE_MELT();
  for (const char* threads : {"2", "0"}) {
    SCOPED_TRACE(std::string("threads=") + threads);
    const Outcome result = melt(clips() + " -transition frei0r.kt3_ripples in=0 out=" + std::to_string(kLast) +
                                    " " + quoted("progress=0=0;-1=1") + " threads=" + threads,
                                "MLT_SLICES_COUNT=4");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("kt3 frei0r Ripples: the editor cuts the frame into bands"), std::string::npos)
        << result.err;
    const RgbImage lower = readPng(dir / "a.png");
    for (int f : {0, 1, kLast / 2, kLast}) expectSame(frame(f), lower, "passed through, frame " + std::to_string(f));
  }
}
