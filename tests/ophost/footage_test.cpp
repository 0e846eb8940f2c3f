// Footage as cameras and phones make it, made by FFmpeg and read through ophost: a phone's clip
// stored on its side is shown upright, non-square pixels and interlaced fields are carried
// through, a clip whose rate changes is shown by time, 10 bits come down to 8 without bands, and
// HDR is tone-mapped to standard range (or refused).
#include <cmath>
#include <fstream>

#include "media_input.h"
#include "ophost_test_support.h"

using namespace ophosttest;

namespace {

class Footage : public Scratch {
 protected:
  void make(const std::vector<std::string>& arguments) {
    const RunResult run = runFfmpeg(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
  }
  // The grey level in the middle of frame `number` of the sequence `pattern`.
  int level(const std::string& pattern, int number) {
    char name[64];
    std::snprintf(name, sizeof name, pattern.c_str(), number);
    const auto picture = readPicture(dir / name);
    return picture.at(picture.width / 2, picture.height / 2)[1];
  }
};

// A PAL frame of 16:15 pixels (a 4:3 picture) keeps its pixels' shape in a video and in a PNG; an
// interlaced one (top field first) stays interlaced, field order and all; a square 4:3 clip joined
// to it fills the frame, as the same picture shape; and an odd size loses one line, saying so.
TEST_F(Footage, PixelShapeAndFieldsAreCarriedThrough) {
  REQUIRE_PLUGIN("Ripples");
  make({"-f", "lavfi", "-i", "testsrc2=s=720x576:r=25:d=0.4,setsar=16/15", "-c:v", "libx264", "-flags",
        "+ildct+ilme", "-x264opts", "tff=1", at("pal.mp4")});
  const RunResult render = runOphost({"render", "Ripples", "--input0", at("pal.mp4"), "--input1", "card:black",
                                      "--length", "9", "--output", at("out.mp4")});
  ASSERT_EQ(render.status, 0) << render.err;
  EXPECT_NE(render.out.find("h264, 16:15 pixels, interlaced, top field first"), std::string::npos) << render.out;
  auto out = ophost::media::openSource(at("out.mp4"));
  EXPECT_EQ(out->pixelAspect(), ophost::media::PixelAspect(16, 15));
  EXPECT_EQ(out->fieldOrder(), ophost::media::FieldOrder::TopFirst);
  // --deinterlace: progressive frames, a frame for each frame, and a word saying so.
  const RunResult progressive = runOphost({"render", "Ripples", "--input0", at("pal.mp4"), "--input1", "card:black",
                                           "--length", "9", "--deinterlace", "--output", at("progressive.mp4")});
  ASSERT_EQ(progressive.status, 0) << progressive.err;
  EXPECT_NE(progressive.err.find("interlaced, top field first: deinterlaced (bwdif)"), std::string::npos)
      << progressive.err;
  auto deinterlaced = ophost::media::openSource(at("progressive.mp4"));
  EXPECT_EQ(deinterlaced->fieldOrder(), ophost::media::FieldOrder::Progressive);
  EXPECT_EQ(deinterlaced->countFrames(), 10);
  ASSERT_EQ(runOphost({"render", "Ripples", "--input0", at("pal.mp4"), "--input1", "card:black", "--output",
                       at("still.png")}).status, 0);
  EXPECT_EQ(ophost::media::openSource(at("still.png"))->pixelAspect(), ophost::media::PixelAspect(16, 15));

  make({"-f", "lavfi", "-i", "testsrc2=s=640x480:r=25:d=0.4", "-c:v", "libx264", at("square.mp4")});
  const RunResult join = runOphost({"join", at("pal.mp4"), at("square.mp4"), "--with", "ripples", "--duration", "2f",
                                    "--output", at("join.mp4")});
  ASSERT_EQ(join.status, 0) << join.err;
  EXPECT_NE(join.out.find("640x480 scaled to 720x576"), std::string::npos) << join.out;

  const RunResult odd = runOphost({"render", "Ripples", "--input0", "card:bars", "--input1", "card:black", "--size",
                                   "63x35", "--length", "3", "--output", at("odd.mp4")});
  ASSERT_EQ(odd.status, 0) << odd.err;
  EXPECT_NE(odd.out.find("its last column cropped, its last row cropped"), std::string::npos) << odd.out;
  EXPECT_EQ(ophost::media::openSource(at("odd.mp4"))->naturalSize(), (ophost::media::Size{62, 34}));
}

// An interlaced 4:2:0 frame whose first field is red and second blue (each chroma row of one field,
// as interlaced encoders subsample): every line keeps its own field's colour exactly, where reading
// the chroma rows as one picture would tint each line with the other field's.
TEST_F(Footage, EachFieldOfAnInterlacedClipKeepsItsOwnColour) {
  constexpr int kWidth = 32, kHeight = 32;
  const uint8_t red[2] = {90, 240}, blue[2] = {240, 110};  // Cb, Cr
  std::string frame(kWidth * kHeight, '\x64');
  for (int plane = 0; plane < 2; ++plane) {
    for (int row = 0; row < kHeight / 2; ++row) {
      frame.append(kWidth / 2, static_cast<char>((row % 2 ? blue : red)[plane]));
    }
  }
  {
    std::ofstream raw(dir / "fields.yuv", std::ios::binary);
    for (int n = 0; n < 3; ++n) raw << frame;
  }
  make({"-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "32x32", "-r", "25", "-i", at("fields.yuv"), "-vf",
        "setfield=tff", "-c:v", "libx264", "-qp", "0", "-flags", "+ildct+ilme", at("fields.mp4")});
  auto source = ophost::media::openSource(at("fields.mp4"));
  ASSERT_EQ(source->fieldOrder(), ophost::media::FieldOrder::TopFirst);
  ophost::Picture picture(ophost::Geometry::exact(kWidth, kHeight), 4);
  source->frameInto(1, picture);
  for (int32_t y = 0; y < kHeight; ++y) {
    const uint8_t* field = y % 2 ? blue : red;
    for (int32_t x = 0; x < kWidth; x += 5) {
      ASSERT_EQ(picture.area(x, y)[1], field[0]) << x << "," << y;
      ASSERT_EQ(picture.area(x, y)[2], field[1]) << x << "," << y;
    }
  }
}

// 30 frames a second for a second, then every other frame only (15 a second): frame P of a 30 fps
// output is the frame on screen at P / 30 s, not the clip's P-th.
TEST_F(Footage, AVariableRateClipIsShownByTime) {
  REQUIRE_PLUGIN("Ripples");
  // Each frame a flat grey saying its number N: luma 16 + 3N.
  make({"-f", "lavfi", "-i", "nullsrc=s=32x18:r=30:d=2,format=yuv444p,geq=lum='16+N*3':cb=128:cr=128,"
        "select='lt(t,1)+not(mod(n,2))'", "-fps_mode", "passthrough", "-c:v", "libx264", "-qp", "0", at("vfr.mkv")});
  const RunResult join = runOphost({"join", at("vfr.mkv"), "card:black", "--with", "ripples", "--duration", "1f",
                                    "--fps", "30", "--output", at("o%04d.png"), "-q"});
  ASSERT_EQ(join.status, 0) << join.err;
  for (int frame = 0; frame < 59; ++frame) {
    const int shown = frame < 30 ? frame : 30 + (frame - 30) / 2 * 2;
    EXPECT_NEAR(level("o%04d.png", frame), shown * 3 * 255.0 / 219, 1.5) << frame;
  }
}

// Stored 64x36 with a white band down its left side and a display rotation of a quarter turn
// anticlockwise: shown 36x64 with the band along the bottom, and written so, with no rotation.
TEST_F(Footage, APhonesClipOnItsSideIsShownUpright) {
  REQUIRE_PLUGIN("Ripples");
  make({"-f", "lavfi", "-i", "color=c=black:s=64x36:r=25:d=0.4,drawbox=x=0:y=0:w=16:h=36:color=white:t=fill",
        "-c:v", "libx264", "-qp", "0", at("stored.mp4")});
  make({"-i", at("stored.mp4"), "-c", "copy", "-metadata:s:v:0", "rotate=90", at("phone.mp4")});
  const RunResult render = runOphost({"render", "Ripples", "--input0", at("phone.mp4"), "--input1", "card:black",
                                      "--length", "1000", "--position", "0", "--output", at("upright.png")});
  ASSERT_EQ(render.status, 0) << render.err;
  const auto upright = readPicture(dir / "upright.png");
  ASSERT_EQ(upright.width, 36);
  ASSERT_EQ(upright.height, 64);
  for (const int y : {2, 30, 46}) EXPECT_LE(upright.at(18, y)[1], 8) << y;
  for (const int y : {50, 61}) EXPECT_GE(upright.at(18, y)[1], 247) << y;
}

// A 10-bit gradient rising one 8-bit code value every 32 columns: each pixel lands within one code
// value of it, and without bands: the average of every stretch of 8 columns follows the gradient
// to a quarter of a code value where rounding alone would miss by up to a half.
TEST_F(Footage, TenBitGradientsComeOutWithoutBands) {
  make({"-f", "lavfi", "-i", "nullsrc=s=256x16:r=25:d=0.2,format=yuv444p10le,geq=lum='400+X/8':cb=512:cr=512",
        "-c:v", "libx264", "-pix_fmt", "yuv444p10le", "-qp", "0", at("ten.mkv")});
  auto source = ophost::media::openSource(at("ten.mkv"));
  ophost::Picture picture(ophost::Geometry::exact(256, 16), 4);
  source->frameInto(0, picture);
  double worstPixel = 0, worstStretch = 0;
  for (int32_t x0 = 0; x0 < 256; x0 += 8) {
    double sum = 0, truth = 0;
    for (int32_t x = x0; x < x0 + 8; ++x) {
      const double exact = (400 + x / 8) / 4.0;
      truth += exact * 16;
      for (int32_t y = 0; y < 16; ++y) {
        const int luma = picture.area(x, y)[3];
        sum += luma;
        worstPixel = std::max(worstPixel, std::abs(luma - exact));
      }
    }
    worstStretch = std::max(worstStretch, std::abs(sum - truth) / 128);
  }
  EXPECT_LE(worstPixel, 1.0);
  EXPECT_LE(worstStretch, 0.25);
}

// A flat grey of 100 nits in PQ (code 509 of 1023): shown as standard range it would be a dull
// mid grey (RGB 130); tone-mapped, it is the bright grey 100 nits are on an ordinary screen, with a
// warning. --no-tonemap refuses it instead, in one line, writing nothing.
TEST_F(Footage, HdrIsToneMappedWithAWarningOrRefused) {
  REQUIRE_PLUGIN("Ripples");
  make({"-f", "lavfi", "-i", "nullsrc=s=64x36:r=25:d=0.2,format=yuv444p10le,geq=lum='509':cb=512:cr=512", "-c:v",
        "libx264", "-pix_fmt", "yuv444p10le", "-qp", "0", "-color_trc", "smpte2084", "-color_primaries", "bt2020",
        "-colorspace", "bt2020nc", at("pq.mkv")});
  const std::vector<std::string> render = {"render", "Ripples", "--input0", at("pq.mkv"), "--input1", "card:black",
                                           "--length", "1000", "--position", "0"};
  std::vector<std::string> mapped = render;
  mapped.insert(mapped.end(), {"--output", at("sdr.png")});
  const RunResult run = runOphost(mapped);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: " + at("pq.mkv") + " is high-dynamic-range (PQ): tone-mapped"), std::string::npos)
      << run.err;
  const auto sdr = readPicture(dir / "sdr.png");
  EXPECT_GT(sdr.at(32, 18)[1], 145);
  EXPECT_LT(sdr.at(32, 18)[1], 200);
  std::vector<std::string> refused = render;
  refused.insert(refused.end(), {"--no-tonemap", "--output", at("refused.png")});
  const RunResult refusal = runOphost(refused);
  EXPECT_EQ(refusal.status, 1);
  EXPECT_NE(refusal.err.find("high-dynamic-range clip (PQ), which --no-tonemap refuses"), std::string::npos)
      << refusal.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "refused.png"));
}

}  // namespace
