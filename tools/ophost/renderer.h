// One effect set up for rendering: the plug-in loaded with its values set and opened, the inputs
// opened and laid out in one frame geometry, and the host's answers to the plug-in's calls.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "colour.h"
#include "media_input.h"
#include "plugin.h"
#include "settings.h"

namespace ophost::cli {

struct RenderSetup {
  std::filesystem::path pluginDirectory;
  std::filesystem::path textureDirectory;
  std::string plugin;
  std::string input0;
  std::string input1;  // empty: none given
  std::vector<std::string> settings;  // "PARAM=VALUE"
  int64_t length = 50;
  std::optional<FrameSize> size;    // the frame (buffer) size; input 0's own size when not given
  std::optional<Geometry> area;     // the active area inside it; all of it when not given
  Easing easing;
  std::function<void(const std::string&)> warn;  // plug-in log records, faults, host remarks
};

class FrameRenderer {
 public:
  // Loads, sets and opens the plug-in and opens the inputs. Throws HostError with one message.
  explicit FrameRenderer(const RenderSetup& setup);
  ~FrameRenderer();

  // Renders frame `frame` (0..length) and returns the whole output buffer as RGB.
  media::RgbImage render(int64_t frame);
  // The same frame as the plug-in put it (OpPixels).
  Picture renderPicture(int64_t frame);

  const Geometry& geometry() const { return geometry_; }
  const std::string& pluginName() const { return plugin_->name(); }
  Plugin& plugin() { return *plugin_; }

 private:
  std::shared_ptr<const Picture> input(int index, int64_t frame);
  void report(const ActionResult& result, const std::string& when);

  RenderSetup setup_;
  std::unique_ptr<Plugin> plugin_;
  std::unique_ptr<media::FrameSource> sources_[2];
  Geometry geometry_;
  bool opened_ = false;
  int64_t current_ = 0;
  std::shared_ptr<const Picture> cached_[2];
  int64_t cachedFrame_[2] = {-1, -1};
  std::set<std::string> warned_;
};

// The plug-in called `name` in `directory` (matched without regard to case); throws HostError
// naming the plug-ins there are.
std::filesystem::path findPlugin(const std::filesystem::path& directory, const std::string& name);
// Every plug-in file in `directory`, sorted by name.
std::vector<std::filesystem::path> pluginFiles(const std::filesystem::path& directory);

}  // namespace ophost::cli
