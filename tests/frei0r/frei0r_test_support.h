// Shared by the frei0r bridge tests: the built frei0r plug-ins loaded as an editor loads them, the
// generated input pictures, ophost's renders to compare with, and running programs (melt, ophost).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

#include "colour.h"

namespace f0rtest {

namespace fs = std::filesystem;
using ophost::media::RgbImage;

fs::path frei0rDir();   // build/frei0r
fs::path ophostProgram();

// One built frei0r plug-in, dlopened the way an editor does (it stays loaded: the process keeps it).
struct Frei0rPlugin {
  explicit Frei0rPlugin(const std::string& effect);  // "Halves" loads build/frei0r/kt3_halves.so
  bool loaded() const { return handle != nullptr; }

  void* handle = nullptr;
  int (*init)() = nullptr;
  void (*pluginInfo)(f0r_plugin_info_t*) = nullptr;
  void (*paramInfo)(f0r_param_info_t*, int) = nullptr;
  f0r_instance_t (*construct)(unsigned, unsigned) = nullptr;
  void (*destruct)(f0r_instance_t) = nullptr;
  void (*setParam)(f0r_instance_t, f0r_param_t, int) = nullptr;
  void (*getParam)(f0r_instance_t, f0r_param_t, int) = nullptr;
  void (*update2)(f0r_instance_t, double, const uint32_t*, const uint32_t*, const uint32_t*,
                  uint32_t*) = nullptr;
  void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*) = nullptr;

  int paramIndex(const std::string& name) const;  // -1 when there is none of that name
  void set(f0r_instance_t instance, const std::string& name, double value) const;
  void setColour(f0r_instance_t instance, const std::string& name, f0r_param_color_t colour) const;
  // One frame through the plug-in (input1 ignored by a filter).
  RgbImage render(f0r_instance_t instance, const RgbImage& input0, const RgbImage& input1) const;
};

// RGB to frei0r's RGBA (opaque) and back (alpha dropped).
std::vector<uint32_t> rgbaOf(const RgbImage& rgb);
RgbImage rgbOf(const std::vector<uint32_t>& rgba, int32_t width, int32_t height);

// A built-in card ("bars", "rings", "grid", "gradient") drawn at width x height into a PNG file.
void writeCard(const fs::path& file, const std::string& card, int32_t width, int32_t height);
void writePng(const fs::path& file, const RgbImage& rgb);
// A melt profile of width x height at 25 progressive square-pixel frames a second, BT.601.
void writeMeltProfile(const fs::path& file, int32_t width, int32_t height);
RgbImage readPng(const fs::path& file);

// ophost's render of `effect` at position/length, with --set arguments ("hold=0").
RgbImage ophostRender(const fs::path& scratch, const std::string& effect, const fs::path& input0,
                      const fs::path& input1, uint32_t length, uint32_t position,
                      const std::vector<std::string>& settings);

// ophost's render of every frame 0..length of `effect` (one process, one worker).
std::vector<RgbImage> ophostSequence(const fs::path& scratch, const std::string& effect,
                                     const fs::path& input0, const fs::path& input1, uint32_t length,
                                     const std::vector<std::string>& settings);

// The largest change any channel takes in a round trip full-range RGB -> OpPixel -> RGB through the
// host's BT.601 conversion: how far two renders of one frame may differ and still be the same.
int roundTripTolerance();
struct Difference {
  int largest = 0;
  size_t pixels = 0;  // pixels with any channel off by more than the tolerance
};
Difference difference(const RgbImage& a, const RgbImage& b);

// Runs `command` through the shell; its output goes to files read back here.
struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};
Outcome run(const std::string& command, const fs::path& scratch);
// Runs a melt command line (melt, or a program that runs melt) whose first frame is `firstFrame`.
// On a loaded machine melt now and then ends at once, status 0 and no frame written, or starts no
// consumer and waits for ever, whatever the effect (it happens with our plug-ins missing too):
// such a run is stopped after a minute and tried once more.
Outcome runMelt(const std::string& command, const fs::path& scratch, const fs::path& firstFrame);
std::string quoted(const std::string& text);

// A fresh directory per test, removed afterwards.
class Scratch : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir;
};

}  // namespace f0rtest

// Fails (rather than skips) without melt: the bootstrap installs it, a machine without it is not set
// up. Skips in the sanitizer builds, whose plug-ins need a sanitizer runtime that melt lacks.
#define REQUIRE_MELT()                                                                       \
  if (!KT3_WITH_MELT) GTEST_SKIP() << "melt cannot load plug-ins built with the sanitizers"; \
  ASSERT_EQ(std::system("command -v melt >/dev/null 2>&1"), 0)                               \
      << "melt is not installed (Debian package melt, installed by scripts/bootstrap)"
