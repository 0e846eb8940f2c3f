// ophost end to end: the program run on small built-in pictures, its files read back, and its
// frames compared with the host runtime's own render of the same frame.
#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "command_line.h"
#include "grey_png.h"
#include "media_input.h"
#include "media_output.h"
#include "renderer.h"
#include "settings.h"
#include "ophost_test_support.h"

using namespace ophosttest;
using ophost::Geometry;

namespace {

class Cli : public Scratch {
 protected:
  std::string out(const std::string& name) const { return (dir / name).string(); }
};

TEST_F(Cli, ListAndInfoShowWhatTheCatalogueSays) {
  const RunResult list = runOphost({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("Bump"), std::string::npos);
  EXPECT_NE(list.out.find("relief shading"), std::string::npos);
  EXPECT_NE(list.out.find("card:rings"), std::string::npos);

  const RunResult info = runOphost({"info", "bump", "--set", "strength=70"});
  ASSERT_EQ(info.status, 0) << info.err;
  for (const char* shown : {"light", "Light direction", "up-left", "\u2196", "(code 8)", "range 0..100",
                            "default down-right (3)", "default 50, now 70"}) {
    EXPECT_NE(info.out.find(shown), std::string::npos) << shown << " missing from\n" << info.out;
  }
}

TEST_F(Cli, InfoOfEveryBuiltPluginNamesEveryString) {
  for (const char* name : {"Halves", "Jolt", "Blinds", "Ripples", "Fog", "Slant", "Streaks", "Bump", "Sunbeams"}) {
    if (!pluginBuilt(name)) continue;
    const RunResult info = runOphost({"info", name});
    ASSERT_EQ(info.status, 0) << name << ": " << info.err;
    EXPECT_EQ(info.out.find("(string "), std::string::npos) << name << " has a label the catalogue lacks:\n" << info.out;
  }
  if (pluginBuilt("Halves")) {
    const RunResult info = runOphost({"info", "Halves"});
    EXPECT_NE(info.out.find("squeeze"), std::string::npos);
    EXPECT_NE(info.out.find("Input 1 in from the left, back to input 0"), std::string::npos);
  }
}

TEST_F(Cli, OneFrameEqualsTheRuntimesOwnRender) {
  const RunResult run = runOphost({"render", "Bump", "--input0", "card:bars", "--input1", "card:grid", "--size", "96x64",
                          "--length", "40", "--position", "13", "--set", "strength=90", "--output", out("f.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(files(), std::vector<std::string>{"f.png"});
  const auto expected = directRender("Bump", "card:bars", "card:grid", Geometry::exact(96, 64), {{1, 90}}, 40, 13);
  const auto written = readPicture(dir / "f.png");
  EXPECT_EQ(written.width, 96);
  EXPECT_EQ(written.height, 64);
  EXPECT_TRUE(written.rgb == expected.rgb);
}

TEST_F(Cli, ALetterboxedAreaReachesThePluginAndTheBarsStay) {
  const Geometry area{96, 64, 4, 10, 88, 44};
  const RunResult run = runOphost({"render", "Bump", "--input0", "card:gradient", "--input1", "card:grid", "--size", "96x64",
                          "--area", "4,10,88,44", "--output", out("a.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto expected = directRender("Bump", "card:gradient", "card:grid", area, {}, 50, 25);
  const auto written = readPicture(dir / "a.png");
  EXPECT_TRUE(written.rgb == expected.rgb);
  EXPECT_LT(written.at(0, 0)[0], 4);  // outside the area: black
  EXPECT_LT(written.at(95, 63)[1], 4);
}

// Every transition and filter that is built, one frame each, against the runtime with the same
// textures; the texture-driven ones are caught here if the generated textures go missing.
class EveryPlugin : public Cli, public testing::WithParamInterface<const char*> {};

TEST_P(EveryPlugin, MiddleFrameEqualsTheRuntimesOwnRender) {
  REQUIRE_PLUGIN(GetParam());
  const RunResult run = runOphost({"render", GetParam(), "--input0", "card:bars", "--input1", "card:rings", "--size",
                          "80x48", "--length", "20", "--position", "9", "--output", out("m.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto expected = directRender(GetParam(), "card:bars", "card:rings", Geometry::exact(80, 48), {}, 20, 9);
  EXPECT_TRUE(readPicture(dir / "m.png").rgb == expected.rgb);
}

INSTANTIATE_TEST_SUITE_P(Plugins, EveryPlugin,
                         testing::Values("Halves", "Jolt", "Blinds", "Ripples", "Fog", "Slant", "Streaks",
                                         "Bump", "Sunbeams"));

// A grey picture of one's own shapes the wipe. Sunbeams lays its texture as stored and, over a
// length of 255 with a hard edge, switches a texel of level v to input 1 at frame v + 1: a uniform
// 100 switches the whole frame between frames 100 and 101 (the level read exactly, by the workers of
// --jobs 2 as well), and a gradient dark on the left shows input 1 on the left half at frame 128 and
// input 0 on the right, unlike the texture directory's beams.
TEST_F(Cli, AGreyPictureOfOnesOwnShapesTheWipe) {
  REQUIRE_PLUGIN("Sunbeams");
  ophost::Picture gradient(Geometry::exact(256, 4), 1), uniform(Geometry::exact(3, 5), 1, 100);
  for (size_t n = 0; n < gradient.bytes.size(); ++n) gradient.bytes[n] = static_cast<uint8_t>(n % 256);
  ophost::textures::writeGreyPng(dir / "gradient.png", gradient);
  ophost::textures::writeGreyPng(dir / "grey.png", uniform);
  auto render = [&](std::vector<std::string> more) {
    std::vector<std::string> arguments = {"render", "sunbeams", "--input0", "card:bars", "--input1", "card:rings",
                                          "--size", "64x32", "--length", "255", "--set", "softness=0", "--quiet"};
    arguments.insert(arguments.end(), more.begin(), more.end());
    const RunResult run = runOphost(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
  };
  render({"--texture", (dir / "grey.png").string(), "--jobs", "2", "--frames", "99:102", "--output", out("u%03d.png")});
  render({"--texture", "Sunbeams=" + out("gradient.png"), "--position", "128", "--output", out("g.png")});
  render({"--position", "128", "--output", out("d.png")});
  const auto before = readPicture(dir / "u100.png"), after = readPicture(dir / "u101.png");
  EXPECT_TRUE(readPicture(dir / "u099.png").rgb == before.rgb);
  EXPECT_TRUE(readPicture(dir / "u102.png").rgb == after.rgb);
  EXPECT_FALSE(before.rgb == after.rgb);
  const auto mid = readPicture(dir / "g.png");
  ASSERT_EQ(mid.rgb.size(), before.rgb.size());
  int changed = 0;
  for (int32_t row = 0; row < 32; ++row) {
    for (int32_t column = 0; column < 64; ++column) {
      const size_t at = (static_cast<size_t>(row) * 64 + column) * 3;
      const std::vector<uint8_t>& side = column < 28 ? after.rgb : before.rgb;  // the edge lies at 32
      if (column < 28 || column >= 36) {
        EXPECT_TRUE(std::equal(&mid.rgb[at], &mid.rgb[at] + 3, &side[at])) << column << "," << row;
      }
      changed += column < 28 && !std::equal(&before.rgb[at], &before.rgb[at] + 3, &after.rgb[at]);
    }
  }
  EXPECT_GT(changed, 28 * 32 / 2);  // the two inputs differ there, so the left half did change
  EXPECT_FALSE(readPicture(dir / "d.png").rgb == mid.rgb);
}

TEST_F(Cli, EasedFramesPassAFinerLengthAndPosition) {
  REQUIRE_PLUGIN("Halves");
  // ease-in at frame 2 of 10: progress 0.2 maps to about 0.0487 of the way, still opening.
  const RunResult run = runOphost({"render", "Halves", "--input0", "card:bars", "--input1", "card:rings", "--size", "64x48",
                          "--length", "10", "--position", "2", "--easing", "ease-in", "--output", out("e.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto time = ophost::render::pluginTime(ophost::render::Easing::parse("ease-in"), 2, 10);
  EXPECT_EQ(time.length, 10000u);
  const auto expected = directRender("Halves", "card:bars", "card:rings", Geometry::exact(64, 48), {}, time.length,
                                     time.position);
  EXPECT_TRUE(readPicture(dir / "e.png").rgb == expected.rgb);
  const auto linear = directRender("Halves", "card:bars", "card:rings", Geometry::exact(64, 48), {}, 10, 2);
  EXPECT_FALSE(readPicture(dir / "e.png").rgb == linear.rgb);
}

TEST_F(Cli, AParameterByNameNumberEntryNameAndArrowIsTheSameSetting) {
  const std::vector<std::string> base = {"render", "Bump", "--input0", "card:bars", "--input1", "card:grid",
                                         "--size", "48x32"};
  auto render = [&](const std::string& setting, const std::string& name) {
    auto arguments = base;
    if (!setting.empty()) arguments.insert(arguments.end(), {"--set", setting});
    arguments.insert(arguments.end(), {"--output", out(name)});
    const RunResult run = runOphost(arguments);
    EXPECT_EQ(run.status, 0) << setting << ": " << run.err;
    return readPicture(dir / name).rgb;
  };
  const auto byName = render("light=up-left", "a.png");
  EXPECT_EQ(render("1=7", "b.png"), byName);
  EXPECT_EQ(render("LIGHT=\u2196", "c.png"), byName);
  EXPECT_EQ(render("light=\u2196 up-left", "d.png"), byName);
  EXPECT_NE(render("", "e.png"), byName);
}

TEST_F(Cli, AShortVideoAndASequenceDecodeBackWithTheirFramesAndSize) {
  RunResult run = runOphost({"render", "Bump", "--input0", "card:bars", "--input1", "card:rings", "--size", "66x40",
                    "--length", "12", "--output", out("v.mp4"), "--quiet"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto video = ophost::media::openSource(out("v.mp4"));
  EXPECT_EQ(video->naturalSize(), (ophost::media::Size{66, 40}));
  video->frame(100, video->naturalSize());
  EXPECT_EQ(video->frameCount(), 13);

  run = runOphost({"render", "Bump", "--input0", "card:bars", "--input1", "card:rings", "--size", "30x20",
                "--length", "12", "--frames", "3:6", "--output", out("s%03d.png")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"s003.png", "s004.png", "s005.png", "s006.png", "v.mp4"}));
  EXPECT_EQ(readPicture(dir / "s006.png").width, 30);

  run = runOphost({"render", "Bump", "--input0", out("s%03d.png"), "--input1", out("v.mp4"), "--length", "4",
                "--output", out("g.gif")});
  ASSERT_EQ(run.status, 0) << run.err;
  auto gif = ophost::media::openSource(out("g.gif"));
  EXPECT_EQ(gif->naturalSize(), (ophost::media::Size{30, 20}));  // input 0's size; input 1 scaled
  gif->frame(100, gif->naturalSize());
  EXPECT_EQ(gif->frameCount(), 5);
}

// Transparency end to end: the alpha of an RGBA picture becomes input 0's keys, a wipe at its start
// puts input 0 out whole, and each output that holds alpha gives those keys back (ProRes 4444 and
// VP9 within their precision); one that cannot hold alpha says so once. FFV1 gives back the very
// OpPixels the plug-in rendered, frame by frame.
TEST_F(Cli, OutputsGiveBackTheKeysAndFfv1TheVeryPixelsRendered) {
  REQUIRE_PLUGIN("Ripples");
  const Geometry g = Geometry::exact(40, 30);
  ophost::Picture keyed(g, 4);
  for (int32_t j = 0; j < g.rows; ++j) {
    for (int32_t i = 0; i < g.stride; ++i) {
      const uint32_t key = static_cast<uint32_t>(i * 13 + j * 7) % 256;
      keyed.setPixel(i, j, key | (90u + static_cast<uint32_t>(i)) << 8 | (160u - static_cast<uint32_t>(j)) << 16 |
                               (30u + static_cast<uint32_t>(i + j) * 4) << 24);
    }
  }
  ophost::media::OutputOptions picture{g.stride, g.rows, 25};
  picture.alpha = true;
  auto sink = ophost::media::createSink(out("keyed.png"), picture);
  sink->add(keyed, 0);
  sink->finish();
  const std::vector<std::string> ripplesAtItsStart = {"render", "Ripples", "--input0", out("keyed.png"), "--input1",
                                                      "card:rings", "--position", "0", "--output"};
  const std::tuple<const char*, const char*, int> outputs[] = {{"o.png", "", 0}, {"o.mov", "prores", 1}, {"o.webm", "", 4}};
  for (const auto& [name, codec, tolerance] : outputs) {
    std::vector<std::string> arguments = ripplesAtItsStart;
    arguments.push_back(out(name));
    if (*codec) arguments.insert(arguments.end(), {"--codec", codec});
    const RunResult run = runOphost(arguments);
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    EXPECT_NE(run.out.find("with alpha)"), std::string::npos) << run.out;
    ophost::Picture back(g, 4);
    ophost::media::openSource(out(name))->frameInto(0, back);
    int worst = 0;
    for (size_t n = 0; n < back.bytes.size(); n += 4) worst = std::max(worst, std::abs(back.bytes[n] - keyed.bytes[n]));
    EXPECT_LE(worst, tolerance) << name;
  }
  const RunResult opaque = runOphost({"render", "Ripples", "--input0", out("keyed.png"), "--input1", "card:rings",
                                      "--frames", "0:3", "--quiet", "--output", out("o.mp4")});
  ASSERT_EQ(opaque.status, 0) << opaque.err;
  EXPECT_EQ(opaque.err, "ophost: warning: " + out("o.mp4") +
                            " (h264) cannot hold alpha: keys below 255 in the frames are written opaque\n");

  const RunResult lossless = runOphost({"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--size",
                                        "62x36", "--length", "8", "--frames", "2:6", "--codec", "ffv1", "--output",
                                        out("o.mkv")});
  ASSERT_EQ(lossless.status, 0) << lossless.err;
  EXPECT_NE(lossless.out.find("(5 frames, 62x36, ffv1)"), std::string::npos) << lossless.out;
  ophost::render::RenderSetup setup;
  setup.pluginDirectory = OP_PLUGIN_DIR;
  setup.textureDirectory = OP_TEXTURE_DIR;
  setup.plugin = "Ripples";
  setup.input0 = "card:bars";
  setup.input1 = "card:rings";
  setup.size = ophost::render::FrameSize{62, 36};
  setup.length = 8;
  ophost::render::FrameRenderer renderer(setup);
  auto written = ophost::media::openSource(out("o.mkv"));
  for (int64_t frame = 2; frame <= 6; ++frame) {
    ophost::Picture back(Geometry::exact(62, 36), 4);
    written->frameInto(frame - 2, back);
    EXPECT_TRUE(back == renderer.renderPicture(frame)) << "frame " << frame;
  }
}

TEST_F(Cli, ProgressIsShownOnLongWorkUnlessQuiet) {
  const RunResult run = runOphost({"render", "Bump", "--input0", "card:bars", "--input1", "card:rings", "--size", "32x32",
                          "--length", "5", "--output", out("p%02d.png")});
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("Bump: 6/6 frames"), std::string::npos) << run.err;
}

// Each bad input: exit status 1, one message naming the problem, and no file at all.
struct BadCase {
  std::string why;
  std::vector<std::string> arguments;  // "@" is replaced by the scratch directory
  std::string message;
};
// Test names already carry `why`; this keeps ctest from printing the case's raw bytes.
void PrintTo(const BadCase& bad, std::ostream* out) { *out << bad.why; }

class Refused : public Cli, public testing::WithParamInterface<BadCase> {};

TEST_P(Refused, WithOneMessageAndNothingWritten) {
  const BadCase& bad = GetParam();
  if (bad.why.find("open") != std::string::npos) REQUIRE_PLUGIN("Ripples");
  std::ofstream(dir / "text.png") << "not a picture at all";
  std::vector<std::string> arguments;
  for (std::string argument : bad.arguments) {
    if (const size_t at = argument.find('@'); at != std::string::npos) argument.replace(at, 1, dir.string());
    arguments.push_back(argument);
  }
  const RunResult run = runOphost(arguments);
  EXPECT_EQ(run.status, 1) << bad.why;
  EXPECT_NE(run.err.find(bad.message), std::string::npos) << bad.why << ": " << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << bad.why << ": " << run.err;
  EXPECT_EQ(files(), std::vector<std::string>{"text.png"}) << bad.why;
}

const std::vector<std::string> kBump = {"render", "Bump", "--input0", "card:bars", "--input1", "card:rings",
                                        "--size", "32x24"};
std::vector<std::string> bump(std::vector<std::string> more) {
  auto arguments = kBump;
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, Refused,
    testing::Values(
        BadCase{"missing input", {"render", "Bump", "--input0", "@/none.png", "--input1", "card:rings", "--output", "@/o.png"}, "none.png: no such file"},
        BadCase{"not a picture", {"render", "Bump", "--input0", "@/text.png", "--input1", "card:rings", "--output", "@/o.png"}, "not a picture or video"},
        BadCase{"unknown card", {"render", "Bump", "--input0", "card:nothing", "--input1", "card:rings", "--output", "@/o.png"}, "no built-in picture card:nothing"},
        BadCase{"unknown plug-in", {"render", "Nothing", "--input0", "card:bars", "--output", "@/o.png"}, "no plug-in \"Nothing\""},
        BadCase{"unknown parameter", bump({"--set", "colour=#FFFFFF", "--output", "@/o.png"}), "Bump has no parameter \"colour\""},
        BadCase{"out of range", bump({"--set", "strength=101", "--output", "@/o.png"}), "outside its range 0..100"},
        BadCase{"unknown entry", bump({"--set", "light=sideways", "--output", "@/o.png"}), "no entry \"sideways\""},
        BadCase{"unwritable format", bump({"--output", "@/o.bmp"}), "unknown output format \".bmp\""},
        BadCase{"no such output directory", bump({"--output", "@/missing/o.png"}), "no such directory"},
        BadCase{"range beyond the length", bump({"--length", "10", "--frames", "5:11", "--output", "@/o%02d.png"}), "outside the effect's length 10"},
        BadCase{"several frames to one PNG", bump({"--frames", "0:2", "--output", "@/o.png"}), "holds one frame"},
        BadCase{"second input missing", {"render", "Bump", "--input0", "card:bars", "--output", "@/o.png"}, "needs two inputs"},
        BadCase{"an option list does not take", {"list", "--port", "9"}, "list does not take --port (see ophost --help)"},
        BadCase{"a short option info does not take", {"info", "Bump", "-q"}, "info does not take -q"},
        BadCase{"an option demo does not take", {"demo", "--output", "@/demo", "--jobs=2"}, "demo does not take --jobs"},
        BadCase{"an option render does not take", bump({"--port", "80", "--output", "@/o.png"}), "render does not take --port"},
        BadCase{"a value for a flag", bump({"--checks=no", "--output", "@/o.png"}), "--checks takes no value"},
        BadCase{"prores in mp4", bump({"--codec", "prores", "--output", "@/o.mp4"}), "a .mp4 file carries h264 or hevc, not prores"},
        BadCase{"h264 in webm", bump({"--codec", "h264", "--output", "@/o.webm"}), "a .webm file carries vp9, not h264"},
        BadCase{"gif in mkv", bump({"--codec", "gif", "--output", "@/o.mkv"}), "a .mkv file carries h264, hevc, prores, ffv1 or vp9, not gif"},
        BadCase{"png in mp4", bump({"--codec", "png", "--output", "@/o.mp4"}), "not png"},
        BadCase{"unknown codec", bump({"--codec", "av1", "--output", "@/o.mkv"}), "--codec av1: no such codec (h264, hevc, prores, ffv1, vp9, png or gif)"},
        BadCase{"crf for prores", bump({"--codec", "prores", "--crf", "20", "--output", "@/o.mov"}), "--crf does not apply to prores"},
        BadCase{"crf beyond x264", bump({"--crf", "52", "--output", "@/o.mp4"}), "--crf 52 lies outside h264's range 0..51"},
        BadCase{"unknown preset", bump({"--codec", "hevc", "--preset", "quick", "--output", "@/o.mkv"}), "no such hevc preset (ultrafast, superfast,"},
        BadCase{"preset for vp9", bump({"--preset", "fast", "--output", "@/o.webm"}), "--preset does not apply to vp9"},
        BadCase{"bitrate for ffv1", bump({"--codec", "ffv1", "--bitrate", "8M", "--output", "@/o.mkv"}), "--bitrate does not apply to ffv1"},
        BadCase{"not a bitrate", bump({"--bitrate", "8X", "--output", "@/o.mp4"}), "--bitrate 8X: not a bit rate"},
        BadCase{"crf and bitrate", bump({"--crf", "20", "--bitrate", "2500k", "--output", "@/o.mp4"}), "give --crf or --bitrate, not both"},
        BadCase{"texture of no effect", bump({"--texture", "bogus=@/text.png", "--output", "@/o.png"}), "no effect or texture called \"bogus\""},
        BadCase{"texture for an effect without one", bump({"--texture", "bump=@/text.png", "--output", "@/o.png"}), "Bump reads no texture"},
        BadCase{"texture for another effect", {"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--texture", "fog=@/text.png", "--output", "@/o.png"}, "Fog is not an effect of this render"},
        BadCase{"texture file alone for two textures", {"render", "Fog", "--input0", "card:bars", "--texture", "@/text.png", "--output", "@/o.png"}, "Fog reads 2 textures: give fog=FILE"},
        BadCase{"texture file missing", {"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--texture", "ripples=@/none.png", "--output", "@/o.png"}, "none.png: no such file"},
        BadCase{"texture not a picture", {"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--texture", "@/text.png", "--output", "@/o.mp4"}, "text.png: not a picture or video"},
        BadCase{"open fails without its texture", {"render", "Ripples", "--input0", "card:bars", "--input1", "card:rings", "--textures", "@/none", "--output", "@/o.mp4"}, "Ripples cannot start"},
        // cluster: its own options and those of the command it splits, no others; refused before
        // Slurm is asked anything.
        BadCase{"cluster render with a join option", {"cluster", "render", "Bump", "--with", "ripples", "--slurm", "--output", "@/o.mkv"}, "cluster does not take --with"},
        BadCase{"cluster splits render or join", {"cluster", "demo", "--slurm"}, "cluster splits a render or a join"},
        BadCase{"cluster without a scheduler", {"cluster", "render", "Bump", "--input0", "card:bars", "--output", "@/o.mkv"}, "cluster needs --slurm"},
        BadCase{"cluster of one picture", {"cluster", "render", "Bump", "--input0", "card:bars", "--output", "@/o.png", "--slurm"}, "cluster writes a video or a PNG sequence"}),
    [](const testing::TestParamInfo<BadCase>& param) {
      std::string name = param.param.why;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// The usage describes every option of the table and names, for each command, the options it takes;
// --help shows it whatever else the line holds.
TEST_F(Cli, TheUsageListsEveryOptionAndTheCommandsThatTakeIt) {
  const RunResult run = runOphost({"list", "--port", "9", "--help"});
  ASSERT_EQ(run.status, 0) << run.err;
  const size_t index = run.out.find("\nThe options each command takes:\n");
  ASSERT_NE(index, std::string::npos) << run.out;
  std::map<std::string, std::set<std::string>> taken;  // command -> options, as the usage says
  std::istringstream lines(run.out.substr(index + 1));
  std::string line, command;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
    std::istringstream words(line);
    std::string word;
    if (line[2] != ' ') words >> command;
    while (words >> word) taken[command].insert(word);
  }
  EXPECT_EQ(taken.size(), 8u) << run.out;  // every command but ophost's own render-worker
  for (const auto& option : ophost::render::optionTable()) {
    const std::regex described("\n  " + option.name + "[ ,][^\n]*[a-z]{3}");  // its line, with its help
    EXPECT_TRUE(std::regex_search(run.out.substr(0, index), described)) << option.name;
    for (const std::string name : {"list", "info", "render", "demo", "serve", "join", "concat", "cluster"}) {
      const bool takes = option.commands & ophost::render::commandNamed(name);
      EXPECT_EQ(taken[name].count(option.name), takes ? 1u : 0u) << name << " " << option.name;
    }
  }
}

// A command line written back by the table reads back as the same line, for every command and every
// option it takes, values that look like options and names with spaces included: the worker line of
// render --jobs N and the preview's exported lines are written this way.
TEST(CommandLine, WrittenLinesReadBackTheSame) {
  using namespace ophost::render;
  Options full;
  full.positional = {"Halves"};
  full.plugins = "/opt/plug ins";
  full.textures = "tex";
  full.input0 = "--set";
  full.input1 = "card:rings";
  full.output = "o ut%04d.png";
  full.settings = {"share=30", "layout=left-return", "share=40"};
  full.length = "40", full.position = "12", full.frames = "2:9", full.size = "64x48", full.area = "0,4,64,40";
  full.easing = "cubic-bezier(0.1,0,0.9,1)", full.fps = "30", full.port = "0", full.jobs = "2", full.crf = "0";
  full.codec = "ffv1", full.preset = "slow", full.bitrate = "8M", full.texture = {"ripples=my grey.png", "b.png"};
  full.with = {"ripples:easing=ease-in", "fog"}, full.duration = "36f", full.stillDuration = "2.5s", full.fit = "stretch";
  full.sheet = "sheet.png", full.segment = "2/3", full.audio = "sound.m4a";
  full.quiet = full.checks = full.noAudio = full.noTonemap = full.deinterlace = full.soundOnly = true;
  for (const std::string name : {"list", "info", "render", "render-worker", "demo", "serve", "join", "concat"}) {
    const CommandSet command = commandNamed(name);
    const std::vector<std::string> words = commandWords(full, command);
    for (const Option& option : optionTable()) {
      const bool given = std::find(words.begin(), words.end(), option.name) != words.end();
      EXPECT_EQ(given, (option.commands & command) != 0 && option.name != "--help") << name << " " << option.name;
    }
    Options read;
    ASSERT_NO_THROW(parseCommandLine(words, read)) << name;
    EXPECT_EQ(read.command, name);
    EXPECT_EQ(commandWords(read, command), words) << name;
  }
}

TEST_F(Cli, AFailedRenderPartWayLeavesNoFileAndPluginFaultsAreWarnings) {
  // The runtime's test plug-in: mode 12 puts no output, mode 4 leaves input 1 behind.
  const std::string plugins = std::filesystem::path(OP_TEST_PLUGIN_DIR).string();
  if (!std::filesystem::exists(plugins + "/Misbehave.so")) GTEST_SKIP() << "no test plug-in";
  std::filesystem::create_directories(dir / "tex");
  std::filesystem::copy_file(std::string(OP_TEXTURE_DIR) + "/kreis.png", dir / "tex" / "t.png");
  RunResult run = runOphost({"render", "Misbehave", "--plugins", plugins, "--textures", (dir / "tex").string(), "--input0",
                    "card:bars", "--input1", "card:rings", "--size", "16x16", "--length", "3", "--set", "1=12",
                    "--output", out("x.mp4")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("could not be rendered"), std::string::npos) << run.err;
  run = runOphost({"render", "Misbehave", "--plugins", plugins, "--textures", (dir / "tex").string(), "--input0",
                "card:bars", "--input1", "card:rings", "--size", "16x16", "--set", "1=4", "--output", out("y.png")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: Misbehave misbehaved"), std::string::npos) << run.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"tex", "y.png"}));
}

}  // namespace
