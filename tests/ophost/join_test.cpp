// ophost join end to end: clips made by ophost itself, joined, and the output read back frame by
// frame against the clips and against ophost render of each cut's effect on the same frames.
#include <cstdlib>
#include <fstream>

#include "media_input.h"
#include "ophost_test_support.h"

using namespace ophosttest;

namespace {

class Join : public Scratch {
 protected:
  void render(const std::vector<std::string>& arguments) {
    const RunResult run = runOphost(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  // Frames first.. of the sequence `from` copied as a new sequence `to` numbered from 0.
  void copyFrames(const std::string& from, int first, int count, const std::string& to) {
    char source[64], target[64];
    for (int k = 0; k < count; ++k) {
      std::snprintf(source, sizeof source, from.c_str(), first + k);
      std::snprintf(target, sizeof target, to.c_str(), k);
      std::filesystem::copy_file(dir / source, dir / target);
    }
  }
  ophost::media::RgbImage frame(const std::string& pattern, int number) {
    char name[64];
    std::snprintf(name, sizeof name, pattern.c_str(), number);
    return readPicture(dir / name);
  }
};

int largestDifference(const ophost::media::RgbImage& a, const ophost::media::RgbImage& b) {
  if (a.width != b.width || a.height != b.height) return 256;
  int most = 0;
  for (size_t k = 0; k < a.rgb.size(); ++k) most = std::max(most, std::abs(a.rgb[k] - b.rgb[k]));
  return most;
}

// Three clips (two sequences and a still), two cuts with their own effects and easings, written
// losslessly: the clips' own frames where they play alone, and in each cut exactly what ophost
// render makes of the same effect on the tail of the clip before and the head of the one after.
TEST_F(Join, EachCutIsTheEffectOnTheTailAndHeadOfItsClips) {
  REQUIRE_PLUGIN("Ripples");
  REQUIRE_PLUGIN("Blinds");
  REQUIRE_PLUGIN("Halves");
  REQUIRE_PLUGIN("Slant");
  render({"render", "Halves", "--input0", "card:bars", "--input1", "card:rings", "--size", "64x36", "--length", "11",
          "--output", at("a%04d.png"), "-q"});
  render({"render", "Slant", "--input0", "card:grid", "--input1", "card:gradient", "--size", "64x36", "--length", "9",
          "--output", at("b%04d.png"), "-q"});
  const RunResult join = runOphost({"join", at("a%04d.png"), at("b%04d.png"), "card:white", "--with",
                                    "ripples:easing=ease-in", "--with", "blinds:count=3", "--duration", "4f",
                                    "--still-duration", "6f", "--output", at("o%04d.png"), "--sheet",
                                    at("sheet.png")});
  ASSERT_EQ(join.status, 0) << join.err;
  // 12 + 10 + 6 frames less two cuts of 4: clip 2 starts at 8, clip 3 at 14.
  EXPECT_TRUE(std::filesystem::exists(dir / "o0019.png"));
  EXPECT_FALSE(std::filesystem::exists(dir / "o0020.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "sheet.png"));
  EXPECT_NE(join.out.find("20 frames at 25 fps, 64x36"), std::string::npos) << join.out;
  EXPECT_NE(join.out.find("cut 2   Blinds over 4 frames (0.16 s) from 00:00:00.56"), std::string::npos) << join.out;

  copyFrames("a%04d.png", 8, 4, "tail_a%04d.png");
  copyFrames("b%04d.png", 6, 4, "tail_b%04d.png");
  render({"render", "ripples", "--input0", at("tail_a%04d.png"), "--input1", at("b%04d.png"), "--length", "4",
          "--easing", "ease-in", "--frames", "0:3", "--output", at("cut1_%04d.png"), "-q"});
  render({"render", "blinds", "--input0", at("tail_b%04d.png"), "--input1", "card:white", "--size", "64x36",
          "--set", "count=3", "--length", "4", "--frames", "0:3", "--output", at("cut2_%04d.png"), "-q"});
  for (int p = 0; p < 4; ++p) {
    EXPECT_TRUE(frame("o%04d.png", 8 + p).rgb == frame("cut1_%04d.png", p).rgb) << "cut 1 frame " << p;
    EXPECT_TRUE(frame("o%04d.png", 14 + p).rgb == frame("cut2_%04d.png", p).rgb) << "cut 2 frame " << p;
  }
  // The clips alone: their own pictures, through one conversion into OpPixels and back.
  for (int k = 0; k < 8; ++k) EXPECT_LE(largestDifference(frame("o%04d.png", k), frame("a%04d.png", k)), 3) << k;
  for (int k = 12; k < 14; ++k) EXPECT_LE(largestDifference(frame("o%04d.png", k), frame("b%04d.png", k - 8)), 3) << k;
  for (int k = 18; k < 20; ++k) {
    const auto white = frame("o%04d.png", k);
    EXPECT_TRUE(std::all_of(white.rgb.begin(), white.rgb.end(), [](uint8_t v) { return v == 255; })) << k;
  }
}

// A clip of another rate is played at the output's by time, and one of another shape is
// letterboxed into the first clip's frame: the video lasts what the timeline says.
TEST_F(Join, OtherRatesAndShapesFitTheFirstClip) {
  REQUIRE_PLUGIN("Ripples");
  REQUIRE_PLUGIN("Halves");
  render({"render", "Halves", "--input0", "card:bars", "--input1", "card:rings", "--size", "64x36", "--length", "19",
          "--output", at("a.mp4"), "-q"});
  render({"render", "Halves", "--input0", "card:white", "--input1", "card:grid", "--size", "36x36", "--length", "29",
          "--fps", "30", "--output", at("b.mkv"), "-q"});
  const RunResult join = runOphost({"join", at("a.mp4"), at("b.mkv"), "--with", "ripples", "--duration", "0.2",
                                    "--output", at("j.mp4")});
  ASSERT_EQ(join.status, 0) << join.err;
  // 20 frames, then 30 at 30 fps as 25 at 25, overlapping by 5.
  EXPECT_NE(join.out.find("1.60 s, 40 frames at 25 fps, 64x36"), std::string::npos) << join.out;
  EXPECT_NE(join.out.find("36x36 letterboxed into 36x36"), std::string::npos) << join.out;
  auto output = ophost::media::openSource(at("j.mp4"));
  EXPECT_EQ(output->countFrames(), 40);
  ASSERT_TRUE(output->frameRate().has_value());
  EXPECT_EQ(*output->frameRate(), ophost::media::FrameRate(25));
  // Frame 30 shows clip 2 alone (white at first): bars of black beside a white middle.
  const auto picture = output->frame(30, {64, 36});
  const auto value = [&](int x, int y) { return picture.rgb[(static_cast<size_t>(y) * 64 + x) * 3 + 1]; };
  EXPECT_LE(value(4, 18), 8);
  EXPECT_LE(value(59, 18), 8);
  EXPECT_GE(value(32, 4), 240);

  // render, too, writes at its input 0's own rate when --fps does not say otherwise.
  render({"render", "Ripples", "--input0", at("b.mkv"), "--input1", "card:grid", "--length", "3", "--output",
          at("r.mp4"), "-q"});
  EXPECT_EQ(ophost::media::openSource(at("r.mp4"))->frameRate(), ophost::media::FrameRate(30));
}

// Each fault of a join's command line is one line and exit 1, found before anything is written.
TEST_F(Join, FaultsAreOneLineAndLeaveNothing) {
  REQUIRE_PLUGIN("Ripples");
  REQUIRE_PLUGIN("Fog");
  render({"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--size", "32x18", "--length", "9",
          "--output", at("a.mp4"), "-q"});
  std::ofstream(dir / "notes.txt") << "no pictures here\n";
  const auto before = files();
  const std::string a = at("a.mp4"), out = at("out.mp4");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"join", a, "card:grid", "--with", "ripples", "--duration", "11f", "--output", out}, "longer than clip 1"},
      {{"join", a, at("notes.txt"), "--with", "ripples", "--output", out}, "clip 2"},
      {{"join", a, a, "--with", "nosuch", "--output", out}, "no plug-in \"nosuch\""},
      {{"join", a, a, "--with", "ripples:nosuch=3", "--output", out}, "nosuch"},
      {{"join", a, a, "--with", "ripples:audio=wobble", "--duration", "4f", "--output", out}, "no cross-fade curve"},
      {{"join", a, a, "--with", "fog", "--output", out}, "takes two"},
      {{"join", a, a, a, "--with", "ripples", "--with", "ripples", "--with", "ripples", "--output", out}, "one --with for each"},
      {{"join", a, a, "--with", "ripples", "--duration", "1.5x", "--output", out}, "not a length of time"},
      {{"join", a, a, "--with", "ripples", "--output", at("one.png")}, "holds one frame"},
      {{"join", a, "card:grid", "--with", "ripples", "--duration", "4f", "--output", a}, "which the command reads"},
      {{"join", a, "--with", "ripples", "--output", out}, "two clips or more"},
      {{"join", a, a, "--with", "ripples", "--duration", "4f", "--texture", "sunbeams=" + a, "--output", out},
       "not an effect of this"},
      {{"join", a, a, "--with", "ripples", "--duration", "4f", "--output", out, "--sheet", at("s.gif")}, "one picture"},
  };
  for (const auto& [arguments, words] : cases) {
    const RunResult run = runOphost(arguments);
    EXPECT_EQ(run.status, 1) << words;
    EXPECT_NE(run.err.find(words), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(files(), before) << words;
  }
}

}  // namespace
