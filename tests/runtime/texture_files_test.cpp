// The host's texture files: which paths are served, and reading and writing grey PNGs.
#include <gtest/gtest.h>

#include <fstream>

#include "host_error.h"
#include "test_host.h"
#include "grey_png.h"
#include "texture_files.h"

using ophost::HostError;
using ophost::textureNameFor;

TEST(TexturePaths, ServeOnlyPlainNamesInsideTheTextureDirectory) {
  EXPECT_EQ(textureNameFor("/programs/kt3/ripples.png"), "ripples.png");
  EXPECT_EQ(textureNameFor("/programs/kt3/sunbeams__xy.png"), "sunbeams__xy.png");
  for (const char* refused : {"/programs/kt3/", "/programs/kt3/..", "/programs/kt3/.",
                              "/programs/kt3/../etc/passwd", "/programs/kt3/a/b.png",
                              "/programs/kt3/a\\..\\b.png", "/etc/passwd", "programs/kt3/x.png",
                              "/programs/kt30/x.png", ""}) {
    EXPECT_FALSE(textureNameFor(refused).has_value()) << refused;
  }
  EXPECT_FALSE(textureNameFor(nullptr).has_value());
}

class GreyPngFiles : public testing::Test {
 protected:
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("ophost_png_test_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(dir); }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(GreyPngFiles, RoundTripEveryGreyLevelAtAnOddSize) {
  const auto grey = optest::greyPicture(37, 11, [](int c, int r) { return (c * 7 + r * 31) & 255; });
  ophost::textures::writeGreyPng(dir / "t.png", grey);
  EXPECT_FALSE(std::filesystem::exists(dir / "t.png.partial"));
  const auto back = ophost::readGreyPng(dir / "t.png");
  EXPECT_EQ(back.geometry, ophost::Geometry::exact(37, 11));
  EXPECT_EQ(back.bytesPerPixel, 1);
  EXPECT_EQ(back.bytes, grey.bytes);
}

TEST_F(GreyPngFiles, RefuseMissingCorruptAndTruncatedFiles) {
  EXPECT_THROW(ophost::readGreyPng(dir / "missing.png"), HostError);
  std::ofstream(dir / "text.png") << "this is not a picture";
  EXPECT_THROW(ophost::readGreyPng(dir / "text.png"), HostError);
  const auto grey = optest::greyPicture(64, 64, [](int c, int r) { return c ^ r; });
  ophost::textures::writeGreyPng(dir / "whole.png", grey);
  const auto size = std::filesystem::file_size(dir / "whole.png");
  std::filesystem::copy_file(dir / "whole.png", dir / "cut.png");
  std::filesystem::resize_file(dir / "cut.png", size / 2);
  EXPECT_THROW(ophost::readGreyPng(dir / "cut.png"), HostError);
  EXPECT_THROW(ophost::readGreyPng(dir), HostError);
}
