// Footage as cameras and phones make it, made by FFmpeg and read through ophost: a clip whose rate
// changes is shown by time.
#include "ophost_test_support.h"

using namespace ophosttest;

namespace {

class Footage : public Scratch {
 protected:
  std::string at(const std::string& name) const { return (dir / name).string(); }
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

}  // namespace
