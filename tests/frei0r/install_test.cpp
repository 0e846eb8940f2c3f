// `make install` and the Debian package, loaded by melt and GStreamer from where they were put,
// with the build tree out of the way: an install into a prefix then moved elsewhere (every path is
// relative to the file), an install through DESTDIR, and the package unpacked with dpkg-deb. The
// dynamic loader's own record (LD_DEBUG=files) shows that nothing came from the build tree.
#include <algorithm>
#include <fstream>

#include "frei0r_test_support.h"

using namespace f0rtest;

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 90;

class Installed : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    writeCard(dir / "a.png", "bars", kWidth, kHeight);
    writeCard(dir / "b.png", "rings", kWidth, kHeight);
    writeMeltProfile(dir / "profile", kWidth, kHeight);
    reference = ophostRender(dir, "Ripples", dir / "a.png", dir / "b.png", 10, 4, {"softness=30"});
  }

  // Ripples at position 4 of 10 through melt and through GStreamer, with the frei0r plug-ins of
  // `root` (a PREFIX) only, against ophost's frame.
  void expectLoadsFrom(const fs::path& root) {
    SCOPED_TRACE(root.string());
    const std::string clean = "env -u OPHOST_PLUGINS -u OPHOST_TEXTURES FREI0R_PATH=" +
                              quoted((root / "lib/frei0r-1").string()) + " LD_DEBUG=files ";
    const fs::path frames = dir / "melt";
    fs::remove_all(frames);
    fs::create_directories(frames);
    const std::string meltCommand = clean + "melt -quiet -profile " + quoted((dir / "profile").string()) + " " +
                             quoted("pixbuf:" + (dir / "a.png").string()) + " out=10 -track " +
                             quoted("pixbuf:" + (dir / "b.png").string()) +
                             " out=10 -transition frei0r.kt3_ripples in=0 out=10 " + quoted("progress=0=0;-1=1") +
                             " frames=10 softness=0.3 -consumer " + quoted("avformat:" + (frames / "%04d.png").string()) +
                             " vcodec=png pix_fmt=rgb24 real_time=-1 </dev/null";
    Outcome result = runMelt(meltCommand, dir, frames / "0001.png");
    ASSERT_EQ(result.status, 0) << result.err.substr(0, 2000);
    expectFromRoot(result.err, root);
    expectSame(readPng(frames / "0005.png"), "melt");

    const std::string source = " ! pngdec ! imagefreeze num-buffers=2 ! videoconvert ! video/x-raw,format=RGBA ! ";
    result = run(clean + "GST_REGISTRY=" + quoted((dir / "registry.bin").string()) +
                     " gst-launch-1.0 -q frei0r-mixer-kt3-ripples name=m progress=0.4 frames=0.00001 softness=0.3"
                     " ! videoconvert ! pngenc snapshot=true ! filesink location=" + quoted((dir / "gst.png").string()) +
                     " filesrc location=" + quoted((dir / "a.png").string()) + source + "m.sink_0 filesrc location=" +
                     quoted((dir / "b.png").string()) + source + "m.sink_1",
                 dir);
    ASSERT_EQ(result.status, 0) << result.err.substr(0, 2000);
    expectFromRoot(result.err, root);
    expectSame(readPng(dir / "gst.png"), "GStreamer");
  }

  // The loader opened our libraries from `root` (by whatever path: a RUNPATH gives
  // lib/frei0r-1/../kt3/lib) and nothing at all from the build tree.
  void expectFromRoot(const std::string& loaderRecord, const fs::path& root) {
    std::vector<fs::path> opened;  // every path the record names ("file=PATH", "needed by PATH")
    for (size_t at = loaderRecord.find('/'); at != std::string::npos; at = loaderRecord.find('/', at + 1)) {
      if (at > 0 && loaderRecord[at - 1] != '=' && loaderRecord[at - 1] != ' ') continue;
      const size_t end = loaderRecord.find_first_of(" \n", at);
      opened.push_back(fs::weakly_canonical(loaderRecord.substr(at, end - at)));
      at = end == std::string::npos ? loaderRecord.size() : end;
    }
    const fs::path top = fs::canonical(root);
    for (const char* file : {"lib/frei0r-1/kt3_ripples.so", "lib/kt3/lib/libkt3frei0r.so", "lib/kt3/plugins/Ripples.so"}) {
      EXPECT_NE(std::find(opened.begin(), opened.end(), top / file), opened.end()) << file << " not loaded from there";
    }
    EXPECT_EQ(loaderRecord.find(KT3_BUILD_DIR), std::string::npos) << "something came from the build tree";
  }
  void expectSame(const RgbImage& image, const std::string& what) {
    const Difference d = difference(image, reference);
    EXPECT_EQ(d.pixels, 0u) << what << ": largest difference " << d.largest;
  }
  RgbImage reference;
};

}  // namespace

TEST_F(Installed, LoadsFromAMovedPrefixADestdirAndTheDebianPackage) {
  REQUIRE_MELT();
  ASSERT_EQ(std::system("command -v gst-launch-1.0 >/dev/null 2>&1"), 0)
      << "GStreamer is not installed (gstreamer1.0-tools, installed by scripts/bootstrap)";
  const std::string build = quoted(KT3_BUILD_DIR);

  Outcome result = run(quoted(KT3_CMAKE) + " --install " + build + " --prefix " + quoted((dir / "prefix").string()), dir);
  ASSERT_EQ(result.status, 0) << result.err;
  fs::rename(dir / "prefix", dir / "moved");
  expectLoadsFrom(dir / "moved");

  result = run("DESTDIR=" + quoted((dir / "staged").string()) + " " + quoted(KT3_CMAKE) + " --install " + build +
                   " --prefix /opt/kt3",
               dir);
  ASSERT_EQ(result.status, 0) << result.err;
  ASSERT_TRUE(fs::exists(dir / "staged/opt/kt3/share/kdenlive/transitions/kt3_halves.xml"));
  ASSERT_TRUE(fs::exists(dir / "staged/opt/kt3/share/kdenlive/effects/kt3_fog.xml"));
  expectLoadsFrom(dir / "staged/opt/kt3");

  result = run("cd " + build + " && " + quoted(KT3_CPACK) + " -G DEB -B " + quoted((dir / "package").string()), dir);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  fs::path deb;
  for (const auto& entry : fs::directory_iterator(dir / "package")) {
    if (entry.path().extension() == ".deb") deb = entry.path();
  }
  ASSERT_FALSE(deb.empty()) << result.out;
  result = run("dpkg-deb -f " + quoted(deb.string()) + " Depends", dir);
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char* library : {"libc6", "libstdc++6", "libpng16-16", "libswscale"}) {
    EXPECT_NE(result.out.find(library), std::string::npos) << "Depends: " << result.out;
  }
  result = run("dpkg-deb -x " + quoted(deb.string()) + " " + quoted((dir / "root").string()), dir);
  ASSERT_EQ(result.status, 0) << result.err;
  expectLoadsFrom(dir / "root/usr");
}
