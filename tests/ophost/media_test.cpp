// The host's media code: BT.601 colour both ways, inputs from files, clips and sequences, outputs
// by file name, and nothing left behind by an output that was not finished.
#include <fstream>

#include "cards.h"
#include "colour.h"
#include "host_error.h"
#include "media_input.h"
#include "media_output.h"
#include "ophost_test_support.h"

using namespace ophost;
using namespace ophost::media;

namespace {

TEST(Colour, OpPixelToRgbAndBackWithinOneCodeValue) {
  // Every in-gamut studio-range colour on a coarse grid.
  int worst = 0, tried = 0;
  for (int y = 16; y <= 235; y += 9) {
    for (int cb = 16; cb <= 240; cb += 14) {
      for (int cr = 16; cr <= 240; cr += 14) {
        const double r = 1.164 * (y - 16) + 1.596 * (cr - 128);
        const double g = 1.164 * (y - 16) - 0.392 * (cb - 128) - 0.813 * (cr - 128);
        const double b = 1.164 * (y - 16) + 2.017 * (cb - 128);
        if (r < 1 || r > 254 || g < 1 || g > 254 || b < 1 || b > 254) continue;
        const uint32_t pixel = 0xFFu | static_cast<uint32_t>(cb) << 8 | static_cast<uint32_t>(cr) << 16 |
                               static_cast<uint32_t>(y) << 24;
        const auto rgb = opPixelToRgb(pixel);
        const uint32_t back = rgbToOpPixel(rgb[0], rgb[1], rgb[2]);
        for (int k = 1; k < 4; ++k) {
          worst = std::max(worst, std::abs(static_cast<int>((back >> (8 * k)) & 0xFF) -
                                           static_cast<int>((pixel >> (8 * k)) & 0xFF)));
        }
        ++tried;
      }
    }
  }
  EXPECT_GT(tried, 500);
  EXPECT_LE(worst, 1);
}

TEST(Colour, RgbToOpPixelAndBackWithinOneCodeValue) {
  RgbImage rgb(16, 16);
  for (size_t k = 0; k < rgb.rgb.size(); ++k) rgb.rgb[k] = static_cast<uint8_t>((k * 37 + k / 3 * 11) & 255);
  // Greys and the primaries, and a spread of colours.
  for (int i = 0; i < 16; ++i) {
    uint8_t* p = rgb.at(i, 0);
    p[0] = p[1] = p[2] = static_cast<uint8_t>(i * 17);
  }
  Picture picture(Geometry{20, 18, 2, 1, 16, 16}, 4);
  rgbIntoArea(rgb, picture);
  EXPECT_EQ(picture.pixel(0, 0), 0u);  // outside the area: untouched
  const RgbImage whole = pictureToRgb(picture);
  int worst = 0;
  for (int j = 0; j < 16; ++j)
    for (int i = 0; i < 16; ++i)
      for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(whole.at(i + 2, j + 1)[c] - rgb.at(i, j)[c]));
  // Y carries 220 levels for 256: a grey comes back within one, colours within two.
  EXPECT_LE(worst, 2);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(whole.at(i + 2, 1)[0], i * 17, 1) << i;
  EXPECT_EQ(rgbToOpPixel(255, 255, 255), 0xEB8080FFu);
  EXPECT_EQ(rgbToOpPixel(0, 0, 0, 0x40), 0x10808040u);
  EXPECT_EQ(opPixelToRgb(0xEB8080FF), (std::array<uint8_t, 3>{255, 255, 255}));
}

class Media : public ophosttest::Scratch {};

TEST_F(Media, OutputKindsByName) {
  EXPECT_EQ(outputKindFor("a.png"), OutputKind::Png);
  EXPECT_EQ(outputKindFor("a%04d.PNG"), OutputKind::PngSequence);
  EXPECT_EQ(outputKindFor("a.MP4"), OutputKind::Video);
  EXPECT_EQ(outputKindFor("a.mkv"), OutputKind::Video);
  EXPECT_EQ(outputKindFor("a.gif"), OutputKind::Gif);
  EXPECT_THROW(outputKindFor("a.bmp"), HostError);
  EXPECT_THROW(outputKindFor("a"), HostError);
  EXPECT_EQ(sequenceFileName("d/shot%04d.png", 17), "d/shot0017.png");
  EXPECT_EQ(sequenceFileName("f%d.png", 123), "f123.png");
}

TEST_F(Media, UnfinishedOutputsLeaveNothing) {
  for (const char* name : {"a.png", "b%03d.png", "c.mp4", "d.gif"}) {
    auto sink = createSink((dir / name).string(), {32, 18, 25, 18});
    sink->add(drawCard("bars", 32, 18), 0);
    if (outputKindFor(name) != OutputKind::Png) sink->add(drawCard("grid", 32, 18), 1);
  }
  EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(Media, AClipGivesEachFrameAndItsLastBeyondItsEnd) {
  auto sink = createSink((dir / "clip.mp4").string(), {48, 32, 25, 10});
  const char* order[] = {"black", "white", "bars", "white", "black"};
  for (int n = 0; n < 5; ++n) sink->add(drawCard(order[n], 48, 32), n);
  sink->finish();
  auto clip = openSource((dir / "clip.mp4").string());
  EXPECT_EQ(clip->naturalSize(), (Size{48, 32}));
  auto level = [&](int64_t frame) { return clip->frame(frame, {24, 16}).at(3, 3)[0]; };
  EXPECT_LT(level(0), 20);
  EXPECT_GT(level(1), 235);
  EXPECT_GT(level(3), 235);
  EXPECT_LT(level(4), 20);
  EXPECT_LT(level(40), 20);  // beyond the end: the last frame
  EXPECT_EQ(clip->frameCount(), 5);
  EXPECT_GT(level(1), 235);  // back again
}

TEST_F(Media, StillsAndSequencesAndWhatIsNotAPicture) {
  auto png = createSink((dir / "still.png").string(), {40, 30, 25, 18});
  png->add(drawCard("gradient", 40, 30), 0);
  EXPECT_EQ(png->finish(), std::vector<std::string>{(dir / "still.png").string()});
  auto still = openSource((dir / "still.png").string());
  EXPECT_TRUE(still->frame(0, {40, 30}).rgb == drawCard("gradient", 40, 30).rgb);
  EXPECT_TRUE(still->frame(9, {40, 30}).rgb == drawCard("gradient", 40, 30).rgb);
  EXPECT_EQ(still->frame(3, {80, 60}).width, 80);

  auto sequence = createSink((dir / "s%02d.png").string(), {8, 8, 25, 18});
  for (int n = 0; n < 3; ++n) sequence->add(drawCard(n == 1 ? "white" : "black", 8, 8), n);
  EXPECT_EQ(sequence->finish().size(), 3u);
  auto frames = openSource((dir / "s%02d.png").string());
  EXPECT_EQ(frames->frame(1, {8, 8}).at(0, 0)[0], 255);
  EXPECT_EQ(frames->frame(2, {8, 8}).at(0, 0)[0], 0);

  std::ofstream(dir / "fake.jpg") << "JFIF? no";
  EXPECT_THROW(openSource((dir / "fake.jpg").string()), HostError);
  EXPECT_THROW(openSource((dir / "missing.mov").string()), HostError);
  EXPECT_THROW(openSource(dir.string()), HostError);
  EXPECT_THROW(openSource("card:unknown"), HostError);
}

}  // namespace
