// Shared by the ophost tests: a scratch directory per test, running the ophost program, and the
// host runtime's own render of a frame to compare the program with.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "colour.h"
#include "test_host.h"

namespace ophosttest {

// A fresh directory for one test, removed afterwards.
class Scratch : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path dir;
  std::vector<std::string> files() const;  // every file now in dir, sorted
  std::string at(const std::string& name) const { return (dir / name).string(); }  // a file in dir
};

struct RunResult {
  int status = 0;
  std::string out;
  std::string err;
};
// Runs ophost with `arguments` (plug-ins and textures of this build unless given).
RunResult runOphost(const std::vector<std::string>& arguments);
// Runs the ffmpeg program (quiet, overwriting) with `arguments`: clips made as cameras make them.
RunResult runFfmpeg(const std::vector<std::string>& arguments);

bool pluginBuilt(const std::string& name);
#define REQUIRE_PLUGIN(name)                                                       \
  if (!ophosttest::pluginBuilt(name)) GTEST_SKIP() << name << " is not built yet"

// The frame the host runtime renders for `plugin` over two cards, with values by parameter index.
ophost::media::RgbImage directRender(const std::string& plugin, const std::string& card0,
                                     const std::string& card1, const ophost::Geometry& geometry,
                                     const std::vector<std::pair<size_t, int64_t>>& values,
                                     uint32_t length, uint32_t position);

// The first frame of a picture file, at its own size.
ophost::media::RgbImage readPicture(const std::filesystem::path& file);

}  // namespace ophosttest
