// Drives every built plug-in through the host runtime with whatever the fuzzer's bytes decode to
// (fuzz_case.h), with every buffer between inaccessible pages. A crash, a sanitizer report or a
// plug-in fault the host records (an image given back twice, a write outside the area, an image
// left behind, ...) stops the run with the case in words.
//
//   OPFUZZ_PLUGINS=Fog,Halves  fuzz only these plug-ins (default: every one in the plug-in directory)
//   OPFUZZ_SKIP=known          steer cases around the findings already recorded (known_findings.h),
//                              so a long run is not stopped by them; or a comma list of their names
//   OPFUZZ_DESCRIBE=1          print each case before running it (for replaying a saved input)
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_case.h"
#include "host_error.h"
#include "known_findings.h"
#include "plugin.h"
#include "texture_files.h"

namespace {

using namespace opfuzz;
using ophost::Picture;

struct Harness {
  std::vector<std::unique_ptr<ophost::Plugin>> plugins;
  std::vector<std::string> skip;
  bool describe = false;
  std::map<std::string, std::shared_ptr<const Picture>> realTextures;  // by name; null: none
};

Harness* harness = nullptr;

std::vector<std::string> splitList(const char* text) {
  std::vector<std::string> items;
  if (text == nullptr) return items;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

void fillNoise(ophost::PixelBytes& bytes, uint32_t seed) {
  uint32_t state = seed * 2654435761u + 12345u;
  for (uint8_t& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
}

std::shared_ptr<const Picture> noise(const ophost::Geometry& g, uint32_t seed) {
  auto picture = std::make_shared<Picture>(g, 4);
  fillNoise(picture->bytes, seed);
  return picture;
}

std::shared_ptr<const Picture> realTexture(const std::string& name) {
  auto found = harness->realTextures.find(name);
  if (found != harness->realTextures.end()) return found->second;
  std::shared_ptr<const Picture> texture;
  try {
    texture = std::make_shared<const Picture>(ophost::readGreyPng(std::filesystem::path(OP_FUZZ_TEXTURE_DIR) / name));
  } catch (const ophost::HostError&) {
  }
  harness->realTextures[name] = texture;
  return texture;
}

[[noreturn]] void finding(const FuzzCase& c, const ophost::Plugin& plugin, const std::string& what,
                          const std::vector<std::string>& faults) {
  std::fprintf(stderr, "\n==== plug-in fault: %s\n", what.c_str());
  for (const std::string& fault : faults) std::fprintf(stderr, "  %s\n", fault.c_str());
  std::fprintf(stderr, "---- case\n%s----\n", describeCase(c, plugin).c_str());
  std::fflush(stderr);
  std::abort();
}

void runCase(const FuzzCase& c, ophost::Plugin& plugin) {
  plugin.resetValues();
  const auto& params = plugin.model().params;
  auto apply = [&](size_t k, const ParamSetting& setting) {
    if (k >= params.size()) return;
    const uint32_t word = setting.resolve(params[k]);
    if (setting.kind == ParamSetting::Kind::InRange) {
      const int64_t value = params[k].kind == ophost::ParamKind::Colour
                                ? static_cast<int64_t>(word)
                                : static_cast<int64_t>(static_cast<int32_t>(word));
      plugin.setValue(k, value);
    } else {
      *params[k].valueWord = word;
    }
  };
  for (size_t k = 0; k < 4; ++k) apply(k, c.params[k]);

  const auto input0 = noise(c.geometry, c.seed0);
  ophost::Geometry other = c.geometry;
  if (c.input1Misfit) other.stride += 1;
  const auto input1 = noise(other, c.seed1);
  uint8_t missing = 0;
  plugin.setFieldProvider([&](int32_t index, uint32_t) -> std::shared_ptr<const Picture> {
    if (missing & (1u << index)) return nullptr;
    return index == 0 ? input0 : input1;
  });
  const TextureSetting& t = c.texture;
  plugin.setTextureProvider([&](const std::string& name) -> std::shared_ptr<const Picture> {
    switch (t.kind) {
      case TextureSetting::Kind::Null: return nullptr;
      case TextureSetting::Kind::Refused: throw ophost::HostError("texture " + name + ": unreadable");
      case TextureSetting::Kind::Real:
        if (auto real = realTexture(name)) return real;
        [[fallthrough]];
      case TextureSetting::Kind::Sized: {
        auto grey = std::make_shared<Picture>(ophost::Geometry::exact(t.width, t.height), 1);
        fillNoise(grey->bytes, t.seed);
        return grey;
      }
    }
    return nullptr;
  });

  static std::atomic<bool> abortSet{true};
  ophost::HostBehaviour& b = plugin.behaviour();
  b = ophost::HostBehaviour{};
  b.guardPages = true;
  b.checks = c.checks;
  b.allocAnswersNull = c.allocAnswersNull;
  b.putStatus = c.putStatus;
  b.newImageFill = c.newImageFill;
  b.abort = c.abort ? &abortSet : nullptr;

  int n = 1;
  for (const Step& s : c.steps) {
    if (s.changeParam >= 0) apply(static_cast<size_t>(s.changeParam), s.change);
    missing = s.missing;
    const ophost::ActionResult result = plugin.act(s.action, s.request);
    if (!result.faults.empty()) finding(c, plugin, "step " + std::to_string(n), result.faults);
    ++n;
  }
  missing = 0;
  const ophost::ActionResult closed = plugin.close();
  if (!closed.faults.empty()) finding(c, plugin, "the closing close", closed.faults);
  plugin.resetValues();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness = new Harness;
  const std::vector<std::string> only = splitList(std::getenv("OPFUZZ_PLUGINS"));
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(OP_FUZZ_PLUGIN_DIR)) {
    if (entry.path().extension() != ".so") continue;
    const std::string name = entry.path().stem().string();
    if (!only.empty() && std::find(only.begin(), only.end(), name) == only.end()) continue;
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) harness->plugins.push_back(ophost::Plugin::load(file));
  if (harness->plugins.empty()) {
    std::fprintf(stderr, "no plug-ins to fuzz in %s (OPFUZZ_PLUGINS=%s)\n", OP_FUZZ_PLUGIN_DIR,
                 std::getenv("OPFUZZ_PLUGINS") ? std::getenv("OPFUZZ_PLUGINS") : "");
    std::exit(2);
  }
  std::fprintf(stderr, "fuzzing");
  for (const auto& p : harness->plugins) std::fprintf(stderr, " %s", p->name().c_str());
  std::fprintf(stderr, "\n");
  harness->skip = splitList(std::getenv("OPFUZZ_SKIP"));
  if (harness->skip == std::vector<std::string>{"known"}) {
    harness->skip.clear();
    for (const KnownFinding& known : knownFindings()) harness->skip.push_back(known.name);
  }
  harness->describe = std::getenv("OPFUZZ_DESCRIBE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzCase c = decodeCase(data, size, harness->plugins.size());
  ophost::Plugin& plugin = *harness->plugins[c.plugin];
  for (const KnownFinding& known : knownFindings()) {
    if (known.plugin == plugin.name() &&
        std::find(harness->skip.begin(), harness->skip.end(), known.name) != harness->skip.end()) {
      known.steer(c, plugin);
    }
  }
  if (harness->describe) std::fprintf(stderr, "%s", describeCase(c, plugin).c_str());
  runCase(c, plugin);
  return 0;
}
