#include "frei0r_test_support.h"

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "media_input.h"
#include "media_output.h"
#include "cards.h"
#include "picture.h"

namespace f0rtest {

fs::path frei0rDir() { return KT3_FREI0R_DIR; }
fs::path ophostProgram() { return OPHOST_PROGRAM; }

namespace {
std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
template <typename F>
void bind(void* handle, F& function, const char* name) {
  function = reinterpret_cast<F>(dlsym(handle, name));
}
}  // namespace

Frei0rPlugin::Frei0rPlugin(const std::string& effect) {
  const fs::path file = frei0rDir() / ("kt3_" + lower(effect) + ".so");
  handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    ADD_FAILURE() << file << " cannot be loaded: " << dlerror();
    return;
  }
  bind(handle, init, "f0r_init");
  bind(handle, pluginInfo, "f0r_get_plugin_info");
  bind(handle, paramInfo, "f0r_get_param_info");
  bind(handle, construct, "f0r_construct");
  bind(handle, destruct, "f0r_destruct");
  bind(handle, setParam, "f0r_set_param_value");
  bind(handle, getParam, "f0r_get_param_value");
  bind(handle, update2, "f0r_update2");
  bind(handle, update, "f0r_update");
  if (!init || !pluginInfo || !paramInfo || !construct || !destruct || !setParam || !getParam ||
      !update2 || !update) {
    ADD_FAILURE() << file << " lacks a frei0r entry point";
    handle = nullptr;
  }
}

int Frei0rPlugin::paramIndex(const std::string& name) const {
  f0r_plugin_info_t info{};
  pluginInfo(&info);
  for (int i = 0; i < info.num_params; ++i) {
    f0r_param_info_t param{};
    paramInfo(&param, i);
    if (name == param.name) return i;
  }
  return -1;
}

void Frei0rPlugin::set(f0r_instance_t instance, const std::string& name, double value) const {
  const int index = paramIndex(name);
  ASSERT_GE(index, 0) << "no parameter " << name;
  setParam(instance, &value, index);
}

void Frei0rPlugin::setColour(f0r_instance_t instance, const std::string& name,
                             f0r_param_color_t colour) const {
  const int index = paramIndex(name);
  ASSERT_GE(index, 0) << "no parameter " << name;
  setParam(instance, &colour, index);
}

RgbImage Frei0rPlugin::render(f0r_instance_t instance, const RgbImage& input0,
                              const RgbImage& input1) const {
  const std::vector<uint32_t> in0 = rgbaOf(input0);
  const std::vector<uint32_t> in1 = rgbaOf(input1.width ? input1 : input0);
  std::vector<uint32_t> out(in0.size(), 0);
  // Each call a frame of its own, as an editor's calls are (the same time twice, with buffers a
  // whole frame apart, is what a frame cut into bands looks like).
  static std::atomic<int64_t> frame{0};
  update2(instance, static_cast<double>(frame++) / 25.0, in0.data(), in1.data(), nullptr, out.data());
  return rgbOf(out, input0.width, input0.height);
}

std::vector<uint32_t> rgbaOf(const RgbImage& rgb) {
  std::vector<uint32_t> rgba(static_cast<size_t>(rgb.width) * rgb.height);
  auto* bytes = reinterpret_cast<uint8_t*>(rgba.data());
  for (size_t k = 0; k < rgba.size(); ++k) {
    bytes[k * 4] = rgb.rgb[k * 3];
    bytes[k * 4 + 1] = rgb.rgb[k * 3 + 1];
    bytes[k * 4 + 2] = rgb.rgb[k * 3 + 2];
    bytes[k * 4 + 3] = 255;
  }
  return rgba;
}

RgbImage rgbOf(const std::vector<uint32_t>& rgba, int32_t width, int32_t height) {
  RgbImage rgb(width, height);
  const auto* bytes = reinterpret_cast<const uint8_t*>(rgba.data());
  for (size_t k = 0; k < rgba.size(); ++k) {
    rgb.rgb[k * 3] = bytes[k * 4];
    rgb.rgb[k * 3 + 1] = bytes[k * 4 + 1];
    rgb.rgb[k * 3 + 2] = bytes[k * 4 + 2];
  }
  return rgb;
}

void writePng(const fs::path& file, const RgbImage& rgb) {
  ophost::media::OutputOptions options;
  options.width = rgb.width;
  options.height = rgb.height;
  auto sink = ophost::media::createSink(file.string(), options);
  sink->add(rgb, 0);
  sink->finish();
}

void writeCard(const fs::path& file, const std::string& card, int32_t width, int32_t height) {
  writePng(file, ophost::media::drawCard(card, width, height));
}

void writeMeltProfile(const fs::path& file, int32_t width, int32_t height) {
  std::ofstream profile(file);
  profile << "description=test\nframe_rate_num=25\nframe_rate_den=1\nwidth=" << width << "\nheight=" << height
          << "\nprogressive=1\nsample_aspect_num=1\nsample_aspect_den=1\ndisplay_aspect_num=16\n"
             "display_aspect_den=9\ncolorspace=601\n";
}

RgbImage readPng(const fs::path& file) {
  auto source = ophost::media::openSource(file.string());
  return source->frame(0, source->naturalSize());
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Outcome run(const std::string& command, const fs::path& scratch) {
  const fs::path out = scratch / "run.out";
  const fs::path err = scratch / "run.err";
  const std::string line = "(" + command + ") >" + quoted(out.string()) + " 2>" + quoted(err.string());
  Outcome result;
  const int status = std::system(line.c_str());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  auto slurp = [](const fs::path& file) {
    std::ifstream stream(file);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
  };
  result.out = slurp(out);
  result.err = slurp(err);
  return result;
}

Outcome runMelt(const std::string& command, const fs::path& scratch, const fs::path& firstFrame) {
  const std::string bounded = "timeout 60 sh -c " + quoted(command);
  Outcome outcome = run(bounded, scratch);
  constexpr int kTimedOut = 124;  // timeout's status
  if ((outcome.status == 0 || outcome.status == kTimedOut) && !fs::exists(firstFrame)) outcome = run(bounded, scratch);
  return outcome;
}

RgbImage ophostRender(const fs::path& scratch, const std::string& effect, const fs::path& input0,
                      const fs::path& input1, uint32_t length, uint32_t position,
                      const std::vector<std::string>& settings) {
  const fs::path output = scratch / ("ophost_" + effect + "_" + std::to_string(length) + "_" +
                                     std::to_string(position) + ".png");
  std::string command = quoted(ophostProgram().string()) + " render " + effect + " --quiet --input0 " +
                        quoted(input0.string());
  if (!input1.empty()) command += " --input1 " + quoted(input1.string());
  command += " --length " + std::to_string(length) + " --position " + std::to_string(position);
  for (const std::string& setting : settings) command += " --set " + quoted(setting);
  command += " --output " + quoted(output.string());
  const Outcome result = run(command, scratch);
  EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
  if (result.status != 0) return {};
  return readPng(output);
}

std::vector<RgbImage> ophostSequence(const fs::path& scratch, const std::string& effect,
                                     const fs::path& input0, const fs::path& input1, uint32_t length,
                                     const std::vector<std::string>& settings) {
  const fs::path directory = scratch / ("ophost_" + effect + "_" + std::to_string(length));
  fs::create_directories(directory);
  std::string command = quoted(ophostProgram().string()) + " render " + effect + " --quiet --jobs 1 --input0 " +
                        quoted(input0.string()) + " --input1 " + quoted(input1.string()) + " --length " +
                        std::to_string(length) + " --frames 0:" + std::to_string(length);
  for (const std::string& setting : settings) command += " --set " + quoted(setting);
  command += " --output " + quoted((directory / "f%04d.png").string());
  const Outcome result = run(command, scratch);
  EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
  std::vector<RgbImage> frames;
  for (uint32_t r = 0; result.status == 0 && r <= length; ++r) {
    char name[32];
    std::snprintf(name, sizeof name, "f%04u.png", r);
    frames.push_back(readPng(directory / name));
  }
  fs::remove_all(directory);
  return frames;
}

int roundTripTolerance() {
  static const int tolerance = [] {
    // Every colour on a grid of step 3 in each channel, in one picture.
    std::vector<uint8_t> levels;
    for (int v = 0; v <= 255; v += 3) levels.push_back(static_cast<uint8_t>(v));
    const auto n = static_cast<int32_t>(levels.size());
    RgbImage rgb(n * n, n);
    for (int32_t b = 0; b < n; ++b)
      for (int32_t g = 0; g < n; ++g)
        for (int32_t r = 0; r < n; ++r) {
          uint8_t* p = rgb.at(g * n + r, b);
          p[0] = levels[r];
          p[1] = levels[g];
          p[2] = levels[b];
        }
    ophost::Picture picture(ophost::Geometry::exact(rgb.width, rgb.height), 4);
    ophost::media::rgbIntoArea(rgb, picture);
    const RgbImage back = ophost::media::pictureToRgb(picture);
    int largest = 0;
    for (size_t k = 0; k < rgb.rgb.size(); ++k) {
      largest = std::max(largest, std::abs(int(rgb.rgb[k]) - int(back.rgb[k])));
    }
    return largest;
  }();
  return tolerance;
}

Difference difference(const RgbImage& a, const RgbImage& b) {
  Difference d;
  if (a.width != b.width || a.height != b.height) {
    ADD_FAILURE() << "sizes differ: " << a.width << "x" << a.height << " and " << b.width << "x"
                  << b.height;
    d.largest = 255;
    d.pixels = 1;
    return d;
  }
  const int tolerance = roundTripTolerance();
  for (size_t k = 0; k < a.rgb.size(); k += 3) {
    int worst = 0;
    for (size_t c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int(a.rgb[k + c]) - int(b.rgb[k + c])));
    d.largest = std::max(d.largest, worst);
    if (worst > tolerance) ++d.pixels;
  }
  return d;
}

void Scratch::SetUp() {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  dir = fs::temp_directory_path() /
        ("kt3_frei0r_" + std::string(test->test_suite_name()) + "_" + test->name() + "_" +
         std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
}

void Scratch::TearDown() {
  if (!HasFailure() && std::getenv("KT3_KEEP_SCRATCH") == nullptr) fs::remove_all(dir);
}

}  // namespace f0rtest
