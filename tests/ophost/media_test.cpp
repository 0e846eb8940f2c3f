// The host's media code: BT.601 colour both ways, decoded YCbCr straight to OpPixels and back, inputs from files, clips and sequences, outputs
// by file name and codec, keys as alpha, and nothing left behind by an output that was not finished.
#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <fstream>
#include <random>

#include "cards.h"
#include "colour.h"
#include "host_error.h"
#include "media_input.h"
#include "media_output.h"
#include "noise_picture.h"
#include "ophost_test_support.h"
#include "ycbcr_frames.h"
#include "ycbcr_rows.h"

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
  // Each conversion is the exact one rounded: within half a code value of the formula in doubles.
  double furthest = 0;
  for (int r = 0; r < 256; r += 5) {
    for (int g = 0; g < 256; g += 5) {
      for (int b = 0; b < 256; b += 5) {
        const double y = 0.299 * r + 0.587 * g + 0.114 * b;
        const double expected[3] = {128 + (b - y) / 1.772 * 224 / 255, 128 + (r - y) / 1.402 * 224 / 255,
                                    16 + y * 219 / 255};
        const uint32_t pixel = rgbToOpPixel(static_cast<uint8_t>(r), static_cast<uint8_t>(g), static_cast<uint8_t>(b));
        for (int k = 0; k < 3; ++k) furthest = std::max(furthest, std::abs(((pixel >> (8 * k + 8)) & 0xFF) - expected[k]));
      }
    }
  }
  EXPECT_LE(furthest, 0.5 + 1e-3);
  furthest = 0;
  for (int y = 0; y < 256; y += 3) {
    for (int cb = 0; cb < 256; cb += 5) {
      for (int cr = 0; cr < 256; cr += 5) {
        const double luma = (y - 16) * 255.0 / 219, u = (cb - 128) * 255.0 / 224, v = (cr - 128) * 255.0 / 224;
        const double r = luma + 1.402 * v, b = luma + 1.772 * u, g = (luma - 0.299 * r - 0.114 * b) / 0.587;
        const auto back = opPixelToRgb(0xFFu | static_cast<uint32_t>(cb) << 8 | static_cast<uint32_t>(cr) << 16 |
                                      static_cast<uint32_t>(y) << 24);
        const double expected[3] = {r, g, b};
        for (int k = 0; k < 3; ++k) furthest = std::max(furthest, std::abs(back[k] - std::clamp(expected[k], 0.0, 255.0)));
      }
    }
  }
  EXPECT_LE(furthest, 0.5 + 1e-3);
  EXPECT_EQ(rgbToOpPixel(255, 255, 255), 0xEB8080FFu);
  EXPECT_EQ(rgbToOpPixel(0, 0, 0, 0x40), 0x10808040u);
  EXPECT_EQ(opPixelToRgb(0xEB8080FF), (std::array<uint8_t, 3>{255, 255, 255}));
}

// (Y', Pb, Pr) of one matrix to another through RGB, in doubles: the reference for the fixed point.
std::array<double, 3> convertedYcbcr(double y, double pb, double pr, double kr, double kb) {
  const double r = y + 2 * (1 - kr) * pr, b = y + 2 * (1 - kb) * pb;
  const double g = (y - kr * r - kb * b) / (1 - kr - kb);
  const double y601 = 0.299 * r + 0.587 * g + 0.114 * b;
  return {y601, (b - y601) / (2 * (1 - 0.114)), (r - y601) / (2 * (1 - 0.299))};
}

// Decoded frames of every matrix, range, chroma layout and siting land on the OpPixels a float
// conversion gives, within one code value. The planes are ramps sampled where the siting puts
// their samples, steep enough that half a pixel's error in the interpolation shows (two code
// values); interpolation reproduces a ramp exactly, so each luma position has one right answer.
TEST(Colour, DecodedYcbcrLandsOnTheOpPixelsOfAFloatConversion) {
  struct Source {
    double kr, kb;
    bool full;
  };
  const Source sources[] = {{kBt601Kr, kBt601Kb, false}, {kBt709Kr, kBt709Kb, false},
                            {kBt709Kr, kBt709Kb, true}, {kBt2020Kr, kBt2020Kb, false}};
  const int32_t width = 37, height = 21;  // odd: the last chroma sample covers one column
  int checked = 0;
  for (const Source& source : sources) {
    for (int layout = 0; layout < 3; ++layout) {  // 4:4:4, 4:2:2, 4:2:0
      for (int siting = 0; siting < 4; ++siting) {
        YcbcrMeaning meaning{source.kr, source.kb, source.full, (siting & 1) != 0, (siting & 2) != 0};
        YcbcrPlanes planes;
        planes.width = width, planes.height = height;
        planes.shiftX = layout == 0 ? 0 : 1;
        planes.shiftY = layout == 2 ? 1 : 0;
        // Where chroma sample k lies, in luma samples.
        auto across = [&](double k) { return planes.shiftX ? 2 * k + (meaning.chromaCentredAcross ? 0.5 : 0) : k; };
        auto down = [&](double k) { return planes.shiftY ? 2 * k + (meaning.chromaCositedDown ? 0 : 0.5) : k; };
        // Whole numbers at every sample position of every siting (they lie on quarters).
        auto cbAt = [](double x, double y) { return 40 + 4.0 * x + 2.0 * y; };
        auto crAt = [](double x, double y) { return 230 - 2.0 * x - 4.0 * y; };
        auto yAt = [&](double x, double y) { return (source.full ? 20 : 30) + 4.0 * x + 3.0 * y; };
        const int32_t cw = (width + planes.shiftX) >> planes.shiftX, ch = (height + planes.shiftY) >> planes.shiftY;
        std::vector<uint8_t> luma(static_cast<size_t>(width * height)), cb(static_cast<size_t>(cw * ch)), cr(cb.size());
        for (int32_t j = 0; j < height; ++j)
          for (int32_t i = 0; i < width; ++i) luma[static_cast<size_t>(j * width + i)] = static_cast<uint8_t>(std::lround(yAt(i, j)));
        for (int32_t j = 0; j < ch; ++j) {
          for (int32_t i = 0; i < cw; ++i) {
            cb[static_cast<size_t>(j * cw + i)] = static_cast<uint8_t>(std::lround(cbAt(across(i), down(j))));
            cr[static_cast<size_t>(j * cw + i)] = static_cast<uint8_t>(std::lround(crAt(across(i), down(j))));
          }
        }
        planes.plane[0] = luma.data(), planes.plane[1] = cb.data(), planes.plane[2] = cr.data();
        planes.stride[0] = width, planes.stride[1] = planes.stride[2] = cw;
        Picture picture(Geometry{width + 3, height + 2, 2, 1, width, height}, 4, 0x5A);
        YcbcrToOpPixels(meaning).convert(planes, picture);
        EXPECT_EQ(picture.pixel(0, 0), 0x5A5A5A5Au) << "outside the area: untouched";
        const double ys = source.full ? 255 : 219, yo = source.full ? 0 : 16, cs = source.full ? 255 : 224;
        // The ramps are exact between samples; beyond the first and last sample an edge is held.
        for (int32_t j = 2; j + 2 < height; ++j) {
          for (int32_t i = 2; i + 2 < width; ++i) {
            const auto want = convertedYcbcr((yAt(i, j) - yo) / ys, (cbAt(i, j) - 128) / cs,
                                             (crAt(i, j) - 128) / cs, source.kr, source.kb);
            const uint8_t* got = picture.area(i, j);
            EXPECT_EQ(got[0], 255);
            EXPECT_NEAR(got[3], 16 + 219 * want[0], 1.0) << i << "," << j;
            EXPECT_NEAR(got[1], 128 + 224 * want[1], 1.0) << i << "," << j << " layout " << layout << " siting " << siting;
            EXPECT_NEAR(got[2], 128 + 224 * want[2], 1.0) << i << "," << j << " layout " << layout << " siting " << siting;
            ++checked;
          }
        }
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
  EXPECT_GT(checked, 10000);
}

// OpPixels made 4:2:0 for an encoder and read back as a decoder would (chroma co-sited across,
// centred down) come back as they were: luma exactly, chroma ramps (steep enough that a quarter
// pixel's shift shows) within one; an odd-sized picture loses its last column and row. Made for
// an interlaced frame, each chroma row is of one field only.
TEST(Colour, OpPixelsThroughFourTwoZeroAndBack) {
  for (const auto& [width, height] : {std::pair{40, 24}, std::pair{37, 21}}) {
    Picture picture(Geometry::exact(width, height), 4);
    for (int32_t j = 0; j < height; ++j)
      for (int32_t i = 0; i < width; ++i)
        picture.setPixel(i, j, 0xFFu | static_cast<uint32_t>(20 + 5 * i + j) << 8 |
                                   static_cast<uint32_t>(230 - 4 * i - 2 * j) << 16 |
                                   static_cast<uint32_t>(20 + 5 * i + 3 * j % 7) << 24);
    const int32_t w2 = width & ~1, h2 = height & ~1;
    std::vector<uint8_t> y(static_cast<size_t>(w2 * h2)), cb(static_cast<size_t>(w2 / 2 * h2 / 2)), cr(cb.size());
    Yuv420Target target;
    target.plane[0] = y.data(), target.plane[1] = cb.data(), target.plane[2] = cr.data();
    target.stride[0] = w2, target.stride[1] = target.stride[2] = w2 / 2;
    target.width = w2, target.height = h2;
    opPixelsToYuv420(picture, target);
    EXPECT_EQ(y[static_cast<size_t>(w2 - 1)], picture.area(w2 - 1, 0)[3]);
    EXPECT_EQ(y[static_cast<size_t>((h2 - 1) * w2)], picture.area(0, h2 - 1)[3]);
    YcbcrPlanes planes;
    for (int p = 0; p < 3; ++p) planes.plane[p] = target.plane[p], planes.stride[p] = target.stride[p];
    planes.width = w2, planes.height = h2;
    Picture back(Geometry::exact(w2, h2), 4);
    YcbcrToOpPixels(YcbcrMeaning{}).convert(planes, back);
    for (int32_t j = 1; j + 1 < h2; ++j) {
      for (int32_t i = 1; i + 1 < w2; ++i) {
        EXPECT_EQ(back.area(i, j)[3], picture.area(i, j)[3]);
        EXPECT_NEAR(back.area(i, j)[1], picture.area(i, j)[1], 1) << i << "," << j;
        EXPECT_NEAR(back.area(i, j)[2], picture.area(i, j)[2], 1) << i << "," << j;
      }
    }
    EXPECT_THROW(opPixelsToYuv420(Picture(Geometry::exact(width + 2, height), 4), target), HostError);

    // The two fields in two colours (Cb 50 on the even rows, 200 on the odd): interlaced, each
    // chroma row is one field's; progressive, the two are mixed.
    for (int32_t j = 0; j < height; ++j)
      for (int32_t i = 0; i < width; ++i) picture.setPixel(i, j, 0x808000FFu | (j % 2 ? 200u : 50u) << 8);
    target.interlaced = true;
    opPixelsToYuv420(picture, target);
    for (int32_t m = 0; m < h2 / 2; ++m) EXPECT_EQ(cb[static_cast<size_t>(m * (w2 / 2) + 1)], m % 2 ? 200 : 50) << m;
    target.interlaced = false;
    opPixelsToYuv420(picture, target);
    EXPECT_EQ(cb[1], 125);
  }
}

// A BT.709 output's matrix applied row by row as the encoder's planes are written gives every
// plane byte for byte what converting the whole picture first and writing that gives, in every
// layout: 4:2:0 progressive and interlaced (a height of 4n + 2 too), 4:2:2 in 10 bits, 4:4:4 with
// alpha, odd sizes.
TEST(Colour, MatrixAppliedAsRowsAreReadIsTheWholePictureConverted) {
  struct Layout {
    int shiftX, shiftY, bits;
    bool interlaced, alpha;
  };
  const MatrixChange toBt709 = matrixChangeTo(kBt709Kr, kBt709Kb);
  for (const auto& [width, height] : {std::pair{40, 24}, std::pair{37, 22}, std::pair{6, 3}}) {
    const Picture picture = noisePicture(Geometry::exact(width, height), static_cast<uint32_t>(width));
    Picture converted;
    opPixelsToMatrix(picture, kBt709Kr, kBt709Kb, converted);
    for (const Layout& layout : {Layout{1, 1, 8, false, false}, Layout{1, 1, 8, true, false},
                                 Layout{1, 0, 10, false, true}, Layout{0, 0, 8, false, true}}) {
      const int32_t w = layout.shiftX ? width & ~1 : width, h = layout.shiftY ? height & ~1 : height;
      const int sample = layout.bits == 8 ? 1 : 2;
      auto write = [&](const Picture& from, const MatrixChange* matrix) {
        std::vector<std::vector<uint8_t>> planes(4);
        YcbcrTarget target;
        for (int p = 0; p < 4; ++p) {
          const bool chroma = p == 1 || p == 2;
          const int32_t pw = chroma ? w >> layout.shiftX : w, ph = chroma ? h >> layout.shiftY : h;
          planes[static_cast<size_t>(p)].assign(static_cast<size_t>(pw * ph * sample), 0);
          target.plane[p] = planes[static_cast<size_t>(p)].data();
          target.stride[p] = pw * sample;
        }
        if (!layout.alpha) target.plane[3] = nullptr;
        target.width = w, target.height = h;
        target.shiftX = layout.shiftX, target.shiftY = layout.shiftY, target.bits = layout.bits;
        target.interlaced = layout.interlaced;
        target.matrix = matrix;
        opPixelsToYcbcr(from, target);
        return planes;
      };
      EXPECT_EQ(write(picture, &toBt709), write(converted, nullptr))
          << width << "x" << height << " " << layout.shiftX << layout.shiftY << " " << layout.bits << " bits"
          << (layout.interlaced ? " interlaced" : "");
    }
  }
}

// The AVX2 row kernels give the plain ones' bytes for any input: every width around the vector
// lengths and a whole HD row, every byte value, chroma over its whole range, and matrices up to the
// 16-bit coefficients' limits (and beyond them, where the kernel must give up its multiply-adds).
TEST(Colour, VectorRowKernelsGiveThePlainKernelsBytes) {
  const YcbcrRowKernels* wide = avx2RowKernels();
  if (wide == nullptr) GTEST_SKIP() << "this CPU has no AVX2";
  const YcbcrRowKernels& plain = plainRowKernels();
  std::mt19937 random(19);
  auto below = [&](int32_t n) { return static_cast<int32_t>(random() % static_cast<uint32_t>(n)); };
  std::vector<int32_t> widths;
  for (int32_t w = 0; w <= 70; ++w) widths.push_back(w);
  widths.push_back(1920);
  for (int round = 0; round < 20; ++round) {
    int16_t m16[3][3];
    int32_t m32[3][3];
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        // Mostly a real matrix's size, sometimes the extremes.
        const int32_t pick = below(8);
        m16[r][c] = static_cast<int16_t>(pick == 0 ? 32767 : pick == 1 ? -32768 : below(40000) - 20000);
        m32[r][c] = round % 5 == 4 && pick == 0 ? 40000 : m16[r][c];
      }
    }
    const int16_t lumaOffset = round % 2 ? 256 : 0;
    for (int32_t width : widths) {
      std::vector<uint8_t> luma(static_cast<size_t>(width)), pixels(4 * static_cast<size_t>(width));
      std::vector<int16_t> cb(static_cast<size_t>(width)), cr(cb.size());
      for (auto& v : luma) v = static_cast<uint8_t>(random());
      for (auto& v : pixels) v = static_cast<uint8_t>(random());
      for (auto& v : cb) v = static_cast<int16_t>(below(4081));
      for (auto& v : cr) v = static_cast<int16_t>(below(4081));
      std::vector<uint8_t> want(pixels.size() + 1, 7), got(want);
      plain.matrixRow(luma.data(), cb.data(), cr.data(), width, m16, lumaOffset, want.data());
      wide->matrixRow(luma.data(), cb.data(), cr.data(), width, m16, lumaOffset, got.data());
      ASSERT_EQ(got, want) << "matrixRow, width " << width << ", round " << round;
      plain.matrixPixels(pixels.data(), static_cast<size_t>(width), m32, want.data());
      wide->matrixPixels(pixels.data(), static_cast<size_t>(width), m32, got.data());
      ASSERT_EQ(got, want) << "matrixPixels, width " << width << ", round " << round;
      plain.lumaOf(pixels.data(), width, want.data());
      wide->lumaOf(pixels.data(), width, got.data());
      ASSERT_EQ(got, want) << "lumaOf, width " << width;
    }
  }
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

// An output that cannot be created leaves nothing behind and says why: not when the encoder
// refuses its settings (a frame rate of 0), nor when its file was opened but the container's start
// could not be written (a file size limit of 0 stands for a full disk).
TEST_F(Media, OutputsThatCannotBeCreatedLeaveNothing) {
  const auto refused = [&](const std::string& name, const OutputOptions& options, const std::string& words) {
    const std::string file = (dir / name).string();
    try {
      createSink(file, options);
      ADD_FAILURE() << name << " was created";
    } catch (const HostError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("cannot write " + file, 0), 0u) << error.what();
      EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
    }
  };
  refused("still.mp4", {32, 18, 0, 18}, "the encoder refused");
  {
    struct NoRoom {  // while it lives, a write past 0 bytes fails with EFBIG
      NoRoom() {
        getrlimit(RLIMIT_FSIZE, &before);
        const rlimit none{0, before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &none);
        signal = std::signal(SIGXFSZ, SIG_IGN);
      }
      ~NoRoom() {
        std::signal(SIGXFSZ, signal);
        setrlimit(RLIMIT_FSIZE, &before);
      }
      rlimit before{};
      void (*signal)(int) = nullptr;
    } noRoom;
    refused("full.mp4", {32, 18, 25, 18}, "File too large");
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

// Frames asked for out of order (a segment starting mid-clip, a preview scrubbed back) are found
// from the keyframe before them: each is the frame decoding from the start gives, in MP4 and
// Matroska, with B-frames and keyframes every ten frames, ahead, behind and beyond the end.
TEST_F(Media, FramesFoundOutOfOrderAreTheFramesDecodedInTurn) {
  for (const std::string name : {"gop.mp4", "gop.mkv"}) {
    SCOPED_TRACE(name);
    const std::string clip = (dir / name).string();
    const auto made = ophosttest::runFfmpeg({"-f", "lavfi", "-i", "testsrc2=s=64x36:r=25:d=3.6", "-c:v", "libx264",
                                             "-g", "10", "-bf", "2", clip});
    ASSERT_EQ(made.status, 0) << made.err;
    const ophost::Geometry area = ophost::Geometry::exact(64, 36);
    std::vector<ophost::Picture> inTurn;
    auto sequential = openSource(clip);
    for (int64_t n = 0; n < 90; ++n) sequential->frameInto(n, inTurn.emplace_back(area, 4));
    auto sought = openSource(clip);
    ASSERT_TRUE(sought->frameTimes());
    for (const int64_t n : {75, 3, 41, 40, 88, 12, 13, 60, 0, 89, 200, 31}) {
      ophost::Picture picture(area, 4);
      sought->frameInto(n, picture);
      EXPECT_TRUE(picture == inTurn[static_cast<size_t>(std::min<int64_t>(n, 89))]) << n;
    }
  }
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

// A refusal says what is wrong with the file, in FFmpeg's words where it has them.
TEST_F(Media, RefusalsSayWhatIsWrong) {
  std::ofstream(dir / "huge.y4m") << "YUV4MPEG2 W100000 H100000 F25:1 C420jpeg\nFRAME\nxyz";
  std::filesystem::create_symlink(dir / "loop-a", dir / "loop-b");
  std::filesystem::create_symlink(dir / "loop-b", dir / "loop-a");
  const std::pair<const char*, const char*> cases[] = {
      {"huge.y4m", "Picture size 100000x100000 is invalid"},
      {"loop-a", "cannot be opened (Too many levels of symbolic links)"},
  };
  for (const auto& [name, words] : cases) {
    try {
      openSource((dir / name).string());
      ADD_FAILURE() << name << " was read";
    } catch (const HostError& error) {
      EXPECT_NE(std::string(error.what()).find(words), std::string::npos) << error.what();
    }
  }
}

// A stop asked for (Ctrl-C, a server stopping) ends opening and decoding at once, instead of after
// the decode deadline.
TEST_F(Media, AStopEndsOpeningAndDecodingAtOnce) {
  auto clip = createSink((dir / "clip.mp4").string(), {32, 18, 25, 18});
  for (int n = 0; n < 8; ++n) clip->add(drawCard(n % 2 ? "white" : "black", 32, 18), n);
  clip->finish();
  std::atomic<bool> stop{true};
  try {
    openSource((dir / "clip.mp4").string(), &stop);
    ADD_FAILURE() << "opened while a stop was asked for";
  } catch (const HostError& error) {
    EXPECT_NE(std::string(error.what()).find("interrupted"), std::string::npos) << error.what();
  }
  stop = false;
  auto source = openSource((dir / "clip.mp4").string(), &stop);
  stop = true;
  EXPECT_THROW(source->frame(7, {32, 18}), HostError);
}

// A playlist, a concat list or a wildcard is a file that makes the reader open other files: any
// clip on the disk would become the picture. None is read, whatever it is called; the clip it
// points at is.
TEST_F(Media, FilesThatNameOtherFilesAreNotRead) {
  auto clip = createSink((dir / "secret.mp4").string(), {32, 18, 25, 18});
  for (int n = 0; n < 3; ++n) clip->add(drawCard("white", 32, 18), n);
  clip->finish();
  const std::string secret = (dir / "secret.mp4").string();
  std::ofstream(dir / "playlist.png") << "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" << secret
                                      << "\n#EXTINF:1,\nfile://" << secret << "\n#EXT-X-ENDLIST\n";
  std::ofstream(dir / "list.mp4") << "ffconcat version 1.0\nfile '" << secret << "'\n";
  for (const char* name : {"playlist.png", "list.mp4"}) {
    try {
      openSource((dir / name).string());
      ADD_FAILURE() << name << " was read";
    } catch (const HostError& error) {
      EXPECT_NE(std::string(error.what()).find("only plain picture and video files"), std::string::npos) << error.what();
    }
  }
  std::filesystem::copy_file(dir / "secret.mp4", dir / "concat:x.mp4");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  EXPECT_EQ(openSource("concat:x.mp4")->naturalSize(), (Size{32, 18}));  // a file, not a protocol
  std::filesystem::current_path(previous);
  EXPECT_EQ(openSource(secret)->naturalSize(), (Size{32, 18}));

  const ophosttest::RunResult run = ophosttest::runOphost({"render", "Bump", "--input0", (dir / "playlist.png").string(), "--input1",
                                   "card:rings", "--size", "32x18", "--output", (dir / "out.png").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("playlist.png: an HLS playlist, which is not read"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "out.png"));
}

// OpPixels of every kind of colour, their keys running through 0..255 in a pattern of their own.
Picture patternWithKeys(const Geometry& g) {
  Picture picture(g, 4);
  for (int32_t j = 0; j < g.rows; ++j) {
    for (int32_t i = 0; i < g.stride; ++i) {
      const uint32_t key = static_cast<uint32_t>(i * 11 + j * 5) % 256, cb = 64 + static_cast<uint32_t>(i * 3) % 128;
      const uint32_t cr = 200 - static_cast<uint32_t>(j) * 2, y = 16 + static_cast<uint32_t>(i * 4 + j) % 220;
      picture.setPixel(i, j, key | cb << 8 | cr << 16 | y << 24);
    }
  }
  return picture;
}

// The keys of rendered pictures become alpha in the outputs that hold it and come back as keys:
// FFV1 gives back the very OpPixels, PNG the very keys, ProRes 4444 and VP9 theirs within their
// precision. An output that holds no alpha writes opaque pictures and says so, once.
TEST_F(Media, KeysBecomeAlphaWhereTheOutputHoldsItAndComeBackAsKeys) {
  const Geometry g = Geometry::exact(48, 32);
  const Picture picture = patternWithKeys(g);
  struct Case {
    const char* name;
    std::optional<Codec> codec;
    bool alpha;        // asked for
    int keyError;      // the largest a key may come back off by; -1: all 255
    bool whole;        // every byte comes back
  };
  const Case cases[] = {
      {"a%02d.png", {}, true, 0, false},     {"b.mkv", Codec::Ffv1, true, 0, true},
      {"c.mov", Codec::Prores, true, 1, false}, {"d.webm", {}, true, 4, false},
      {"e.mp4", {}, true, -1, false},       {"f.mkv", Codec::Ffv1, false, -1, false},
  };
  for (const Case& c : cases) {
    OutputOptions options{g.stride, g.rows, 25};
    options.codec = c.codec;
    options.alpha = c.alpha;
    std::vector<std::string> warnings;
    options.warn = [&warnings](const std::string& text) { warnings.push_back(text); };
    const std::string file = (dir / c.name).string();
    auto sink = createSink(file, options);
    for (int n = 0; n < 3; ++n) sink->add(picture, n);
    sink->finish();
    EXPECT_EQ(warnings.size(), c.keyError < 0 ? 1u : 0u) << c.name;
    auto source = openSource(file);
    EXPECT_EQ(source->hasAlpha(), c.keyError >= 0) << c.name;
    Picture back(g, 4);
    source->frameInto(1, back);
    int worst = 0;
    for (size_t n = 0; n < back.bytes.size(); n += 4) {
      const int expected = c.keyError < 0 ? 255 : picture.bytes[n];
      worst = std::max(worst, std::abs(back.bytes[n] - expected));
    }
    EXPECT_LE(worst, std::max(c.keyError, 0)) << c.name;
    if (c.whole) {
      EXPECT_TRUE(back == picture) << c.name;
    }
  }
  // Without alpha, FFV1 still gives back every colour byte.
  auto opaque = openSource((dir / "f.mkv").string());
  Picture back(g, 4);
  opaque->frameInto(2, back);
  for (size_t n = 0; n < back.bytes.size(); ++n) {
    if (n % 4 != 0) {
      ASSERT_EQ(back.bytes[n], picture.bytes[n]) << "byte " << n;
    }
  }
}

// A video written in BT.709, as for a BT.709 source, is converted and tagged so: read back, it
// says BT.709 and gives the OpPixels again within the rounding of the two conversions.
TEST_F(Media, ABt709OutputReadsBackAsTheSameOpPixels) {
  const Geometry g = Geometry::exact(32, 32);
  OutputOptions options{g.stride, g.rows, 25, 0};  // x264's lossless coding: only the matrices round
  options.bt709 = true;
  const uint32_t colours[] = {0x5A51F0FF, 0x9122368F, 0x29F06EFF, 0xEB8080FF};
  auto sink = createSink((dir / "hd.mkv").string(), options);
  for (int n = 0; n < 4; ++n) {
    Picture picture(g, 4);
    for (int32_t j = 0; j < g.rows; ++j) {
      for (int32_t i = 0; i < g.stride; ++i) picture.setPixel(i, j, colours[n]);
    }
    sink->add(picture, n);
  }
  sink->finish();
  auto source = openSource((dir / "hd.mkv").string());
  EXPECT_TRUE(source->isBt709());
  for (int n = 0; n < 4; ++n) {
    Picture back(g, 4);
    source->frameInto(n, back);
    for (int b = 1; b < 4; ++b) {
      EXPECT_NEAR(back.at(7, 9)[b], (colours[n] >> (8 * b)) & 0xFF, 1) << "colour " << n << " byte " << b;
    }
  }
  // A render of such a source writes BT.709 too; FFV1 keeps the OpPixels' own BT.601.
  for (const auto& [name, codec, bt709] : {std::tuple{"out.mp4", "h264", true}, std::tuple{"out.mkv", "ffv1", false}}) {
    const ophosttest::RunResult run = ophosttest::runOphost({"render", "Fog", "--input0", (dir / "hd.mkv").string(),
                                                             "--length", "2", "--codec", codec, "--output",
                                                             (dir / name).string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(openSource((dir / name).string())->isBt709(), bt709) << run.out;
  }
}

}  // namespace
