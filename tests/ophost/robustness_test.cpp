// ophost against what it must refuse or survive: broken, truncated, mislabelled and oversized
// pictures, clips and textures (each made here), inputs that would block, texture names that lead
// out of the texture directory, and plug-ins that misuse the images they are given.
#include <sys/stat.h>

#include <fstream>

#include "cards.h"
#include "host_error.h"
#include "media_input.h"
#include "media_output.h"
#include "ophost_test_support.h"
#include "grey_png.h"
#include "texture_files.h"

using namespace ophosttest;

namespace {

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string bigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
          static_cast<char>(value)};
}

std::string pngChunk(const std::string& type, const std::string& data) {
  return bigEndian(static_cast<uint32_t>(data.size())) + type + data + bigEndian(crc32(type + data));
}

// A PNG whose header (with a correct checksum) claims width x height, followed by a scrap of
// picture data and its end.
std::string pngClaiming(uint32_t width, uint32_t height, int colourType) {
  const std::string header = bigEndian(width) + bigEndian(height) + std::string{8, static_cast<char>(colourType), 0, 0, 0};
  return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
         pngChunk("IDAT", std::string("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10)) + pngChunk("IEND", "");
}

void write(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

std::string readAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Broken : public Scratch {
 protected:
  // A good 64x48 PNG and a good 10-frame clip to spoil.
  void SetUp() override {
    Scratch::SetUp();
    auto png = ophost::media::createSink((dir / "good.png").string(), {64, 48, 25, 18});
    png->add(ophost::media::drawCard("bars", 64, 48), 0);
    png->finish();
    auto clip = ophost::media::createSink((dir / "good.mp4").string(), {64, 48, 25, 18});
    for (int n = 0; n < 10; ++n) clip->add(ophost::media::drawCard(n % 2 ? "rings" : "grid", 64, 48), n);
    clip->finish();
  }
  // Renders Bump over `input` into a scratch output; the run and whether the output is absent.
  RunResult renderOver(const std::filesystem::path& input, const std::string& output = "out.mp4") {
    return runOphost({"render", "Bump", "--input0", input.string(), "--input1", "card:rings", "--size", "32x24",
                      "--length", "4", "--jobs", "1", "--output", (dir / output).string()});
  }
  void expectRefused(const std::filesystem::path& input, const std::string& message) {
    const RunResult run = renderOver(input);
    EXPECT_EQ(run.status, 1) << input.filename() << ": " << run.err;
    EXPECT_NE(run.err.find(input.filename().string()), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << input.filename() << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.mp4"));
  }
};

TEST_F(Broken, CorruptTruncatedAndMislabelledPicturesAreRefused) {
  const std::string good = readAll(dir / "good.png");
  write(dir / "cut.png", good.substr(0, good.size() / 2));
  write(dir / "header-only.png", good.substr(0, 33));
  std::string scrambled = good;
  for (size_t k = 60; k < scrambled.size() - 12; k += 7) scrambled[k] = static_cast<char>(scrambled[k] ^ 0x5A);
  write(dir / "scrambled.png", scrambled);
  write(dir / "text.mp4", "this is a clip, honestly");
  write(dir / "empty.jpg", "");
  for (const char* name : {"cut.png", "header-only.png", "scrambled.png", "text.mp4", "empty.jpg"}) {
    SCOPED_TRACE(name);
    expectRefused(dir / name, "");
  }
  // A file is read by what it holds: a good PNG under a clip's name is still the picture.
  std::filesystem::copy_file(dir / "good.png", dir / "still.mov");
  const RunResult run = renderOver(dir / "still.mov");
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(Broken, HugeClaimedSizesAreRefusedBeforeAnythingIsAllocated) {
  write(dir / "wide.png", pngClaiming(100000, 100000, 2));
  write(dir / "big.png", pngClaiming(9000, 9000, 0));
  write(dir / "wide.y4m", "YUV4MPEG2 W100000 H100000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80'));
  write(dir / "big.y4m", "YUV4MPEG2 W8200 H8200 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80'));
  // A GIF whose screen and picture claim 65535 x 65535.
  std::string gif = "GIF89a";
  gif += std::string("\xff\xff\xff\xff\x00\x00\x00", 7);
  gif += std::string(",\x00\x00\x00\x00\xff\xff\xff\xff\x00\x02\x02\x44\x01\x00;", 16);
  write(dir / "wide.gif", gif);
  for (const char* name : {"wide.png", "big.png", "wide.y4m", "big.y4m", "wide.gif"}) {
    SCOPED_TRACE(name);
    expectRefused(dir / name, "");
  }
  const RunResult run = renderOver(dir / "big.y4m");
  EXPECT_NE(run.err.find("larger than the 8192x8192"), std::string::npos) << run.err;
}

TEST_F(Broken, ATruncatedOrDamagedClipEndsCleanly) {
  const std::string good = readAll(dir / "good.mp4");
  write(dir / "cut.mp4", good.substr(0, good.size() * 6 / 10));
  expectRefused(dir / "cut.mp4", "");  // its index is at the end
  // Damage inside the frames: the decoder conceals what it can; ophost renders or refuses, and
  // ends with a status of its own either way.
  std::string damaged = good;
  for (size_t k = damaged.size() / 4; k < damaged.size() * 3 / 4; k += 13) damaged[k] = static_cast<char>(k);
  write(dir / "damaged.mp4", damaged);
  const RunResult run = renderOver(dir / "damaged.mp4");
  EXPECT_TRUE(run.status == 0 || run.status == 1) << run.status << ": " << run.err;
  EXPECT_EQ(std::filesystem::exists(dir / "out.mp4"), run.status == 0);
}

TEST_F(Broken, PipesAndDevicesAreNotReadAtAll) {
  ASSERT_EQ(mkfifo((dir / "pipe.png").c_str(), 0600), 0);
  expectRefused(dir / "pipe.png", "not a regular file");
  const RunResult run = renderOver("/dev/zero");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("/dev/zero: not a regular file"), std::string::npos) << run.err;
}

// Output names at the edges of what a file name may be: every frame gets its own file and the
// summary counts those files; a name that cannot exist, or is a directory, is refused with one
// message before anything is written (frame 2 of a sequence as much as a single file).
TEST_F(Broken, OutputNamesAreWrittenInFullOrRefusedWhole) {
  const std::string wide = "b%0100d.png";
  RunResult run = renderOver(dir / "good.png", wide);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("(5 frames, 32x24, png)"), std::string::npos) << run.out;
  for (int frame = 0; frame <= 4; ++frame) {
    const std::string name = ophost::media::sequenceFileName(wide, frame);
    EXPECT_EQ(name.size(), 105u);
    EXPECT_TRUE(std::filesystem::exists(dir / name)) << frame;
  }
  EXPECT_EQ(files().size(), 7u);  // good.png, good.mp4 and the five frames
  const std::string longest = std::string(240, 'n') + ".png";
  run = renderOver(dir / "good.png", longest);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::exists(dir / longest));
  for (const auto& name : files()) {
    if (name != "good.png" && name != "good.mp4") std::filesystem::remove(dir / name);
  }

  std::filesystem::create_directory(dir / "d.gif");
  std::filesystem::create_directory(dir / "s2.png");
  struct Case {
    std::string output, message;
  };
  for (const Case& bad : {Case{"b%0300d.png", "more than the 255 bytes a file name may have"},
                          Case{std::string(252, 'n') + ".png", "more than the 255 bytes a file name may have"},
                          Case{"d.gif", "d.gif: it is a directory"}, Case{"s%d.png", "s2.png: it is a directory"}}) {
    SCOPED_TRACE(bad.output);
    run = renderOver(dir / "good.png", bad.output);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"d.gif", "good.mp4", "good.png", "s2.png"}));
  }
}

// An output that would replace one of the inputs is refused before anything is rendered and the
// input stays as it was: the same file by its name or another, a sequence's frame or its pattern.
TEST_F(Broken, AnOutputThatIsAnInputIsRefusedAndTheInputKept) {
  const std::string picture = readAll(dir / "good.png"), clip = readAll(dir / "good.mp4");
  std::filesystem::create_hard_link(dir / "good.png", dir / "linked.png");
  std::filesystem::create_directory(dir / "seq");
  for (const char* frame : {"s0001.png", "s0002.png", "s0003.png"}) write(dir / "seq" / frame, picture);
  struct Case {
    std::string input, output, input1 = "card:rings";
  };
  const std::vector<Case> cases = {
      {"good.png", "good.png"},           {"good.png", "linked.png"},
      {"good.png", "seq/../good.png"},    {"good.mp4", "good.mp4"},
      {"seq/s%04d.png", "seq/s%04d.png"}, {"seq/s%04d.png", "seq/s0002.png"},
      {"seq/s%04d.png", "seq/s000%d.png"}, {"card:bars", "good.png", "good.png"},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.input + " " + bad.input1 + " -> " + bad.output);
    const RunResult run = runOphost({"render", "Bump", "--input0", bad.input.rfind("card:", 0) == 0 ? bad.input : (dir / bad.input).string(),
                                     "--input1", bad.input1.rfind("card:", 0) == 0 ? bad.input1 : (dir / bad.input1).string(),
                                     "--size", "32x24", "--length", "4", "--output", (dir / bad.output).string()});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(bad.input1 == "card:rings" ? "--input0 (" : "--input1 ("), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("give the output another name"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"good.mp4", "good.png", "linked.png", "seq"}));
    EXPECT_EQ(readAll(dir / "good.png"), picture);
    EXPECT_EQ(readAll(dir / "good.mp4"), clip);
    EXPECT_EQ(readAll(dir / "seq" / "s0002.png"), picture);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "seq"), {}), 3);
  }
}

// Textures as the plug-ins ask for them: the test plug-in opens "/programs/kt3/t.png".
class BrokenTexture : public Broken {
 protected:
  RunResult openWith(const std::string& mode = "0") {
    return runOphost({"render", "Misbehave", "--plugins", OP_TEST_PLUGIN_DIR, "--textures", (dir / "tex").string(),
                      "--input0", "card:bars", "--input1", "card:rings", "--size", "16x16", "--set", "1=" + mode,
                      "--output", (dir / "out.png").string()});
  }
  void SetUp() override {
    Broken::SetUp();
    if (!std::filesystem::exists(std::string(OP_TEST_PLUGIN_DIR) + "/Misbehave.so")) GTEST_SKIP() << "no test plug-in";
    std::filesystem::create_directories(dir / "tex");
  }
};

TEST_F(BrokenTexture, BadFilesAndEscapesStopTheOpenWithOneMessage) {
  const std::string good = readAll(std::string(OP_TEXTURE_DIR) + "/kreis.png");
  struct Case {
    std::string why;
    std::function<void()> make;
    std::string message;
  };
  const std::filesystem::path t = dir / "tex" / "t.png";
  const std::vector<Case> cases = {
      {"truncated", [&] { write(t, good.substr(0, good.size() / 2)); }, "corrupt PNG"},
      {"text", [&] { write(t, "grey, really"); }, "not a readable PNG"},
      {"a JPEG under a PNG's name", [&] { write(t, "\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01"); }, "not a readable PNG"},
      {"100000 a side", [&] { write(t, pngClaiming(100000, 100000, 0)); }, "claims 100000x100000"},
      {"9000 a side", [&] { write(t, pngClaiming(9000, 9000, 0)); }, "claims 9000x9000"},
      {"a link out of the directory",
       [&] {
         write(dir / "outside.png", good);
         std::filesystem::create_symlink(dir / "outside.png", t);
       },
       "leads out of the texture directory"},
      {"a pipe", [&] { ASSERT_EQ(mkfifo(t.c_str(), 0600), 0); }, "t.png is not a plain file"},
      {"a directory", [&] { std::filesystem::create_directory(t); }, "t.png is not a plain file"},
      {"missing", [] {}, "no such file t.png in"},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.why);
    std::filesystem::remove_all(t);
    bad.make();
    const RunResult run = openWith();
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("Misbehave cannot start: texture /programs/kt3/t.png: "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(bad.message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
  }
  // The plug-in's own path out of the directory is refused by the runtime before any file is read.
  std::filesystem::remove_all(t);
  write(dir / "secret.png", good);
  const RunResult run = openWith("11");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("refused: not a file name inside the texture directory"), std::string::npos) << run.err;
  // A link that stays inside the directory is served.
  write(dir / "tex" / "real.png", good);
  std::filesystem::create_symlink("real.png", t);
  EXPECT_EQ(openWith().status, 0);
}

// A texture a plug-in finds too small makes it fail its open: the message names the texture with
// its size and, for the plug-ins whose needs the host knows, the size needed.
TEST_F(Broken, ATextureTooSmallIsNamedWithItsSizeAndTheSizeNeeded) {
  REQUIRE_PLUGIN("Fog");
  REQUIRE_PLUGIN("Ripples");
  std::filesystem::create_directories(dir / "tex");
  for (const char* name : {"kreis.png", "diamant.png", "ripples.png"}) {
    ophost::textures::writeGreyPng(dir / "tex" / name, ophost::Picture(ophost::Geometry::exact(100, 80), 1, 128));
  }
  for (const auto& [plugin, needed] : {std::pair{"Fog", "180x144"}, std::pair{"Ripples", "286x228"}}) {
    SCOPED_TRACE(plugin);
    std::vector<std::string> arguments = {"render", plugin, "--textures", (dir / "tex").string(), "--input0",
                                          "card:bars", "--size", "32x24", "--output", (dir / "out.png").string()};
    if (std::string(plugin) == "Ripples") arguments.insert(arguments.end(), {"--input1", "card:rings"});
    const RunResult run = runOphost(arguments);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(std::string(plugin) + " cannot start: it answered -1 when opened"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(".png (100x80)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(std::string("at least ") + needed), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
  }
}

TEST(TextureDirectory, ServesOnlyWhatLiesInsideIt) {
  const auto provider = ophost::directoryTextures(OP_TEXTURE_DIR);
  EXPECT_EQ(provider("kreis.png")->geometry.width, 180);
  EXPECT_THROW(provider("../CMakeCache.txt"), ophost::HostError);
  EXPECT_EQ(provider("../textures/kreis.png")->geometry.width, 180);  // out and back in
  EXPECT_THROW(provider(".."), ophost::HostError);
  EXPECT_THROW(provider("missing.png"), ophost::HostError);
  EXPECT_THROW(ophost::directoryTextures("/nonexistent/dir")("kreis.png"), ophost::HostError);
}

// Each misuse the runtime's ledger finds is a warning (once, however many frames it happens in)
// and the render completes; a render the plug-in fails is an error and writes nothing. Both with
// the plug-in in ophost's own process and in workers.
struct Misuse {
  int mode;
  std::string warning;  // empty: none
  bool fails;
  bool checks = false;  // found by the full checks only
};

class Faults : public Broken, public testing::WithParamInterface<int> {};

TEST_P(Faults, AreWarningsOrOneErrorNeverACrash) {
  if (!std::filesystem::exists(std::string(OP_TEST_PLUGIN_DIR) + "/Misbehave.so")) GTEST_SKIP() << "no test plug-in";
  std::filesystem::create_directories(dir / "tex");
  std::filesystem::copy_file(std::string(OP_TEXTURE_DIR) + "/kreis.png", dir / "tex" / "t.png");
  const std::vector<Misuse> misuses = {
      {0, "", false},
      {1, "opPutField called a second time in one action", true},
      {2, "input 1: given back twice (opFreeImage, then opFreeImage)", false},
      {3, "opFreeImage was given an image the host never handed out", false},
      {4, "input 1 was neither put nor given back by the end of the action", false},
      {5, "input 0: written outside the active area", false, true},
      {6, "input 0: written past the end of its buffer", false},
      {7, "opPutField was given texture t.png as the output", true},
      {8, "texture t.png was still held after close", false},
      {9, "the plug-in wrote into a texture", false, true},
      {12, "", true},
  };
  const std::string jobs = std::to_string(GetParam());
  for (const Misuse& misuse : misuses) {
    SCOPED_TRACE("mode " + std::to_string(misuse.mode) + ", jobs " + jobs);
    const std::string output = (dir / "out%02d.png").string();
    std::vector<std::string> arguments = {"render", "Misbehave", "--plugins", OP_TEST_PLUGIN_DIR, "--textures",
                                          (dir / "tex").string(), "--input0", "card:bars", "--input1", "card:rings",
                                          "--size", "24x16", "--area", "2,2,20,12", "--length", "5", "--set",
                                          "1=" + std::to_string(misuse.mode), "--jobs", jobs, "--quiet",
                                          "--output", output};
    if (misuse.checks) {
      // Without the full checks nothing is compared: the misuse passes unseen, as it did.
      const RunResult unchecked = runOphost(arguments);
      EXPECT_EQ(unchecked.status, 0) << unchecked.err;
      EXPECT_EQ(unchecked.err.find(misuse.warning), std::string::npos) << unchecked.err;
      for (const auto& name : files()) {
        if (name.rfind("out", 0) == 0) std::filesystem::remove(dir / name);
      }
      arguments.push_back("--checks");
    }
    const RunResult run = runOphost(arguments);
    EXPECT_EQ(run.status, misuse.fails ? 1 : 0) << run.err;
    if (!misuse.warning.empty()) {
      const size_t at = run.err.find(misuse.warning);
      EXPECT_NE(at, std::string::npos) << run.err;
      EXPECT_EQ(run.err.find(misuse.warning, at + 1), std::string::npos) << "told more than once:\n" << run.err;
      EXPECT_NE(run.err.find("warning: Misbehave misbehaved at "), std::string::npos) << run.err;
    }
    if (misuse.fails) {
      EXPECT_NE(run.err.find("ophost: Misbehave: frame 0 could not be rendered"), std::string::npos) << run.err;
    } else if (misuse.warning.empty()) {
      EXPECT_EQ(run.err, "");
    }
    size_t written = 0;
    for (const auto& name : files()) written += name.rfind("out", 0) == 0 ? 1 : 0;
    EXPECT_EQ(written, misuse.fails ? 0u : 6u);
    for (const auto& name : files()) {
      if (name.rfind("out", 0) == 0) std::filesystem::remove(dir / name);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Jobs, Faults, testing::Values(1, 2));

}  // namespace
