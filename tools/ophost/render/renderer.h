// One effect set up for rendering: the plug-in loaded with its values set and opened, the inputs
// opened and laid out in one frame geometry, and the host's answers to the plug-in's calls.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "colour.h"
#include "custom_textures.h"
#include "media_input.h"
#include "plugin.h"
#include "settings.h"
#include "warning.h"

namespace ophost::render {

struct RenderSetup {
  std::filesystem::path pluginDirectory;
  std::filesystem::path textureDirectory;
  // Pictures served in place of some of the directory's textures (--texture); entries for another
  // effect than the plug-in's (another cut of a join) are passed over.
  std::vector<CustomTexture> textures;
  std::string plugin;
  std::string input0;
  std::string input1;  // empty: none given
  std::vector<std::string> settings;  // "PARAM=VALUE"
  int64_t length = 50;
  std::optional<FrameSize> size;    // the frame (buffer) size; input 0's own size when not given
  std::optional<Geometry> area;     // the active area inside it; all of it when not given
  Easing easing;
  // The rate the render's frames are shown at: frame F of the render shows each clip's frame on
  // screen at F / fps seconds. Input 0's own rate (25 for stills and cards) when not given.
  std::optional<media::FrameRate> fps;
  media::SourceOptions source;  // HDR and interlaced clips: how they are read
  // The runtime's full checks (--checks): besides the ownership of every image and the guard zones
  // around every buffer (always checked), what lies outside the active area and every texture is
  // compared before and after each action. At 1920x1080 they cost some 40 ms a frame.
  bool checks = false;
  WarningSink warn;  // plug-in log records, faults, host remarks
};

// The two inputs of one frame as the plug-in gets them (input 1 null for a filter).
struct FrameInputs {
  std::shared_ptr<const Picture> input[2];
  // Makes input `index` of the frame again, when the inputs' maker can. Then an input that no one
  // else holds is handed to the plug-in in its own buffer rather than copied; a second request for
  // it in the same render is answered with this.
  std::function<std::shared_ptr<const Picture>(int index)> again;
};

// One rendered frame and what it cost.
struct RenderedFrame {
  Picture picture;
  std::chrono::nanoseconds pluginTime{0};  // in the plug-in's own code
  std::chrono::nanoseconds hostTime{0};    // serving its calls (copies in and out, checks)
};

// The plug-in of a render: loaded, its values set, its textures given, and opened.
// Renders frames from inputs it is handed. Warnings (log records, faults, host remarks) go to the
// setup's `warn`, each once.
class PluginSession {
 public:
  // Loads the plug-in and sets its values; throws HostError with one message.
  explicit PluginSession(const RenderSetup& setup);
  ~PluginSession();
  PluginSession(const PluginSession&) = delete;
  PluginSession& operator=(const PluginSession&) = delete;

  // Opens the plug-in; throws HostError saying why it cannot start.
  void open();
  // Renders frame `frame` (0..length) of `inputs`; throws HostError when the plug-in fails.
  // Inputs held nowhere else are handed to the plug-in in their own buffers.
  RenderedFrame render(int64_t frame, FrameInputs inputs);

  Plugin& plugin() { return *plugin_; }
  const std::string& name() const { return plugin_->name(); }

 private:
  void report(const ActionResult& result, const std::string& when);
  std::shared_ptr<const Picture> field(int32_t index);  // input `index` of the frame being rendered
  std::string servedText() const;  // ", given texture NAME (WxH) ..." for a failed open

  RenderSetup setup_;
  std::unique_ptr<Plugin> plugin_;
  FrameInputs* current_ = nullptr;
  bool handedOver_[2] = {false, false};  // input given up to the plug-in in this render
  bool opened_ = false;
  std::set<std::string> warned_;
  std::vector<std::pair<std::string, Geometry>> served_;  // the textures served at the last open
  std::vector<CustomTexture> custom_;                      // the setup's textures for this plug-in
  std::map<std::string, std::shared_ptr<const Picture>> customServed_;  // by texture file, once scaled
};

// The two steps of rendering a frame, for a pipeline that runs them in different threads: the
// inputs of a frame decoded and laid out (one thread at a time), and the plug-in's render of them
// (one thread at a time; the two may overlap).
class FrameStages {
 public:
  virtual ~FrameStages() = default;
  virtual FrameInputs decodeInputs(int64_t frame) = 0;
  virtual RenderedFrame renderWith(int64_t frame, FrameInputs inputs) = 0;
};

class FrameRenderer final : public FrameStages {
 public:
  // Loads, sets and opens the plug-in and opens the inputs. Throws HostError with one message.
  explicit FrameRenderer(const RenderSetup& setup);
  ~FrameRenderer() override;

  // Renders frame `frame` (0..length) and returns the whole output buffer as RGB.
  media::RgbImage render(int64_t frame);
  // The same frame as the plug-in put it (OpPixels).
  Picture renderPicture(int64_t frame);

  // The two steps of renderPicture.
  FrameInputs decodeInputs(int64_t frame) override;
  RenderedFrame renderWith(int64_t frame, FrameInputs inputs) override;

  const Geometry& geometry() const { return geometry_; }
  // The rate the render's frames are shown at.
  media::FrameRate rate() const { return rate_; }
  // Whether input `index` (0 or 1) has alpha, which becomes the keys of its pictures.
  bool inputHasAlpha(int index) const { return sources_[index] && sources_[index]->hasAlpha(); }
  // Whether input `index` is YCbCr of the BT.709 matrix.
  bool inputIsBt709(int index) const { return sources_[index] && sources_[index]->isBt709(); }
  media::PixelAspect inputPixelAspect(int index) const {
    return sources_[index] ? sources_[index]->pixelAspect() : media::PixelAspect();
  }
  media::FieldOrder inputFieldOrder(int index) const {
    return sources_[index] ? sources_[index]->fieldOrder() : media::FieldOrder::Progressive;
  }
  const std::string& pluginName() const { return session_->name(); }
  Plugin& plugin() { return session_->plugin(); }

 private:
  std::shared_ptr<const Picture> input(int index, int64_t frame);
  int64_t ownFrame(int index, int64_t frame) const;  // the input's own frame shown at `frame`

  RenderSetup setup_;
  std::unique_ptr<PluginSession> session_;
  std::unique_ptr<media::FrameSource> sources_[2];
  Geometry geometry_;
  media::FrameRate rate_;
  std::optional<media::FrameTimes> times_[2];  // of the inputs that are clips
  std::mutex decoding_;  // decodeInputs and a frame's inputs made again, one at a time
  std::shared_ptr<const Picture> cached_[2];
  int64_t cachedFrame_[2] = {-1, -1};
};

// The frame geometry a render uses: `size` (or input 0's natural size) with `area` inside it.
// Throws HostError for a size outside 2..media::kMaxDecodedSide or an area that does not fit.
Geometry frameGeometry(const std::optional<FrameSize>& size, const std::optional<Geometry>& area,
                       const media::Size& natural);

// The plug-in called `name` in `directory` (matched without regard to case); throws HostError
// naming the plug-ins there are.
std::filesystem::path findPlugin(const std::filesystem::path& directory, const std::string& name);
// Every plug-in file in `directory`, sorted by name.
std::vector<std::filesystem::path> pluginFiles(const std::filesystem::path& directory);

}  // namespace ophost::render
