#include "renderer.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "buffer_pool.h"
#include "host_error.h"
#include "interrupt.h"
#include "string_catalogue.h"

namespace ophost::render {

namespace {

std::string sizeText(int32_t width, int32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

std::unique_ptr<media::FrameSource> openInput(const std::string& option, const std::string& name,
                                              const media::SourceOptions& source) {
  try {
    return media::openSource(name, &interruptFlag(), source);
  } catch (const HostError& error) {
    if (interrupted()) throw Interrupted("interrupted while " + name + " was being opened");
    throw HostError(option + " " + error.what());
  }
}

}  // namespace

std::vector<std::filesystem::path> pluginFiles(const std::filesystem::path& directory) {
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) {
    throw HostError("no plug-in directory " + directory.string() + " (build first, or give --plugins DIR)");
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    if (entry.path().extension() == ".so" && entry.is_regular_file(error)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::filesystem::path findPlugin(const std::filesystem::path& directory, const std::string& name) {
  const auto files = pluginFiles(directory);
  for (const auto& file : files) {
    if (lowerCase(file.stem().string()) == lowerCase(name)) return file;
  }
  std::string known;
  for (const auto& file : files) known += (known.empty() ? "" : ", ") + file.stem().string();
  throw HostError("no plug-in \"" + name + "\" in " + directory.string() +
                  (known.empty() ? " (it holds none)" : " (there are: " + known + ")"));
}

Geometry frameGeometry(const std::optional<FrameSize>& requested, const std::optional<Geometry>& area,
                       const media::Size& natural) {
  const FrameSize size = requested ? *requested : FrameSize{natural.width, natural.height};
  if (size.width < 2 || size.height < 2 || size.width > media::kMaxDecodedSide || size.height > media::kMaxDecodedSide) {
    throw HostError("the frame size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                    " is not within 2.." + std::to_string(media::kMaxDecodedSide) + " on each side (give --size)");
  }
  Geometry geometry = Geometry::exact(size.width, size.height);
  if (area) {
    const Geometry& a = *area;
    if (a.x + a.width > size.width || a.y + a.height > size.height) {
      throw HostError("--area " + std::to_string(a.x) + "," + std::to_string(a.y) + "," +
                      std::to_string(a.width) + "," + std::to_string(a.height) +
                      " does not fit in the " + std::to_string(size.width) + "x" +
                      std::to_string(size.height) + " frame");
    }
    geometry.x = a.x;
    geometry.y = a.y;
    geometry.width = a.width;
    geometry.height = a.height;
  }
  return geometry;
}

// ---- PluginSession ---------------------------------------------------------------------------

PluginSession::PluginSession(const RenderSetup& setup) : setup_(setup) {
  plugin_ = Plugin::load(findPlugin(setup.pluginDirectory, setup.plugin));
  const std::string& name = plugin_->name();
  const OperatorModel& model = plugin_->model();
  for (const std::string& setting : setup.settings) {
    const auto [key, text] = splitSetting(setting);
    const size_t index = findParam(model, name, key);
    const int64_t value = parseValue(model.params[index], name + " " + paramName(model.params[index], index), text);
    plugin_->setValue(index, value);
  }
  if (setup.length < 1 || setup.length > 4000000) {
    throw HostError("--length " + std::to_string(setup.length) + ": the length must lie within 1..4000000");
  }
  plugin_->behaviour().checks = setup.checks;
  plugin_->behaviour().abort = &interruptFlag();
  for (const CustomTexture& texture : setup.textures) {
    if (lowerCase(texture.effect) != lowerCase(name)) continue;
    custom_.push_back(texture);
    if (!custom_.back().grey) readTexture(custom_.back());
  }
  if (!setup.textureDirectory.empty() || !custom_.empty()) {
    TextureProvider directory;
    if (!setup.textureDirectory.empty()) directory = directoryTextures(setup.textureDirectory);
    // The textures served are noted, so a failed open can say what the plug-in was given.
    plugin_->setTextureProvider([this, directory](const std::string& file) {
      std::shared_ptr<const Picture> texture;
      if (const CustomTexture* own = customTextureFor(custom_, plugin_->name(), file)) {
        auto& scaled = customServed_[file];
        if (!scaled) scaled = std::make_shared<const Picture>(servedTexture(*own, *knownEffect(own->effect)));
        texture = scaled;
      } else if (directory) {
        texture = directory(file);
      } else {
        throw HostError("no texture directory is configured");
      }
      served_.emplace_back(file, texture->geometry);
      return texture;
    });
  }
  plugin_->setFieldProvider([this](int32_t index, uint32_t) { return field(index); });
}

PluginSession::~PluginSession() {
  if (opened_ && plugin_) {
    try {
      report(plugin_->close(), "close");
    } catch (...) {
    }
  }
}

void PluginSession::open() {
  // The plug-ins that read inputs at open (none today) would get none: open has no frame.
  const PluginTime time = pluginTime(setup_.easing, 0, setup_.length);
  served_.clear();
  ActionResult opened = plugin_->open(ActionRequest{time.length, 0, 0, 0, 0});
  if (opened.status != 0) {
    // The host's remarks say why (a texture it could not supply): they make the one message.
    std::string why;
    for (const std::string& note : opened.notes) why += (why.empty() ? ": " : "; ") + note;
    if (why.empty()) why = ": it answered " + std::to_string(opened.status) + " when opened" + servedText();
    plugin_->close();
    throw HostError(name() + " cannot start" + why);
  }
  report(opened, "open");
  opened_ = true;
}

std::string PluginSession::servedText() const {
  std::string text;
  for (const auto& [name, g] : served_) {
    text += (text.empty() ? ", given texture " : ", texture ") + name + " (" + sizeText(g.width, g.height) + ")";
    const KnownEffect* known = knownEffect(plugin_->name());
    if (known && (g.width < known->textureWidth || g.height < known->textureHeight)) {
      text += " where it needs at least " + sizeText(known->textureWidth, known->textureHeight);
    }
  }
  return text;
}

void PluginSession::report(const ActionResult& result, const std::string& when) {
  if (!setup_.warn) return;
  const std::string& name = plugin_->name();
  // Each record, fault or remark is told once, at the first action it came from: a fault of
  // every frame does not make a warning per frame.
  auto once = [&](const std::string& what, const std::string& message) {
    if (warned_.insert(what).second) setup_.warn(Warning{what, message});
  };
  for (const LogRecord& log : result.logs) {
    const std::string record = "module " + log.file + ", line " + std::to_string(log.line) + ", module code " +
                               hexWord(log.code) + " (level " + std::to_string(log.level) + ")";
    once("log " + record, name + " logged a failure at " + when + ": " + record);
  }
  for (const std::string& fault : result.faults) {
    once("fault " + fault, name + " misbehaved at " + when + ": " + fault);
  }
  for (const std::string& note : result.notes) once("note " + note, "host: " + note);
}

std::shared_ptr<const Picture> PluginSession::field(int32_t index) {
  if (current_ == nullptr || index < 0 || index > 1) return nullptr;
  std::shared_ptr<const Picture>& input = current_->input[index];
  if (handedOver_[index]) return current_->again(index);
  // Given up when it can be made again for a second request: the runtime then hands the plug-in
  // this very buffer, provided no one else (a still's or a held frame's cache) holds it.
  if (current_->again && soleOwner(input)) {
    handedOver_[index] = true;
    return std::move(input);
  }
  return input;
}

RenderedFrame PluginSession::render(int64_t frame, FrameInputs inputs) {
  if (frame < 0 || frame > setup_.length) {
    throw HostError("frame " + std::to_string(frame) + " lies outside the effect's length " +
                    std::to_string(setup_.length));
  }
  const PluginTime time = pluginTime(setup_.easing, frame, setup_.length);
  current_ = &inputs;
  handedOver_[0] = handedOver_[1] = false;
  ActionResult result = plugin_->render(ActionRequest{time.length, time.position, 0, 0, 0});
  current_ = nullptr;
  report(result, "frame " + std::to_string(frame));
  if (result.status != 0 || !result.output) {
    throw HostError(plugin_->name() + ": frame " + std::to_string(frame) + " could not be rendered (it answered " +
                    std::to_string(result.status) + (result.output ? "" : ", with no picture") + ")");
  }
  return RenderedFrame{std::move(*result.output), result.pluginTime, result.hostTime};
}

// ---- FrameRenderer ---------------------------------------------------------------------------

FrameRenderer::FrameRenderer(const RenderSetup& setup) : setup_(setup) {
  session_ = std::make_unique<PluginSession>(setup);
  const std::string& name = session_->name();
  const OperatorModel& model = session_->plugin().model();
  if (setup.input0.empty()) throw HostError(name + " needs a picture: give --input0 (e.g. card:bars)");
  sources_[0] = openInput("--input0", setup.input0, setup.source);
  if (model.singleInput()) {
    if (!setup.input1.empty() && setup_.warn) {
      setup_.warn(Warning{"input1 unused", name + " reads input 0 only: --input1 is not used"});
    }
  } else {
    if (setup.input1.empty()) {
      throw HostError(name + " needs two inputs: give --input1 as well (e.g. card:rings)");
    }
    sources_[1] = openInput("--input1", setup.input1, setup.source);
  }
  geometry_ = frameGeometry(setup.size, setup.area, sources_[0]->naturalSize());
  for (int k = 0; k < 2; ++k) {
    if (!sources_[k]) continue;
    times_[k] = sources_[k]->frameTimes();
    for (const std::string& note : sources_[k]->notes()) {
      if (setup_.warn) setup_.warn(Warning{"note " + note, note});
    }
  }
  const bool clip0 = times_[0] && times_[0]->starts.size() > 1;
  rate_ = setup.fps ? *setup.fps : (clip0 ? sources_[0]->frameRate().value_or(media::FrameRate()) : media::FrameRate());
  // Inputs are decoded before the plug-in opens, so a bad picture is found before any work.
  input(0, 0);
  if (sources_[1]) input(1, 0);
  session_->open();
}

FrameRenderer::~FrameRenderer() = default;

int64_t FrameRenderer::ownFrame(int index, int64_t frame) const {
  // The clip's frame on screen when the render's frame comes on (the same number when the rates
  // are the same; its last frame beyond its end).
  const std::optional<media::FrameTimes>& times = times_[index];
  const bool still = !times || times->starts.size() == 1;
  return still ? 0 : times->frameAt(static_cast<double>(frame) * rate_.den / rate_.num);
}

std::shared_ptr<const Picture> FrameRenderer::input(int index, int64_t frame) {
  media::FrameSource* source = sources_[index].get();
  if (source == nullptr) return nullptr;
  const int64_t own = ownFrame(index, frame);
  if (cached_[index] && cachedFrame_[index] == own) return cached_[index];
  cached_[index].reset();
  // A buffer used before, for an earlier frame: every byte of it is written again.
  auto picture = pooledPicture(geometry_, 4);
  if (geometry_.width != geometry_.stride || geometry_.height != geometry_.rows) {
    for (int32_t row = 0; row < geometry_.rows; ++row)
      for (int32_t column = 0; column < geometry_.stride; ++column) picture->setPixel(column, row, kOpaqueBlack);
  }
  source->frameInto(own, *picture);
  cached_[index] = picture;
  cachedFrame_[index] = own;
  return picture;
}

FrameInputs FrameRenderer::decodeInputs(int64_t frame) {
  std::lock_guard lock(decoding_);
  // The pictures of an earlier frame that this one does not show are let go before anything is
  // decoded, so that by the time the plug-in renders that frame, its inputs are held by it alone
  // and handed over rather than copied. A still, or a clip's frame shown again, stays cached.
  for (int index = 0; index < 2; ++index) {
    if (cached_[index] && cachedFrame_[index] != ownFrame(index, frame)) cached_[index].reset();
  }
  FrameInputs inputs;
  inputs.input[0] = input(0, frame);
  inputs.input[1] = input(1, frame);
  inputs.again = [this, frame](int index) {
    std::lock_guard again(decoding_);
    return input(index, frame);
  };
  return inputs;
}

RenderedFrame FrameRenderer::renderWith(int64_t frame, FrameInputs inputs) {
  return session_->render(frame, std::move(inputs));
}

Picture FrameRenderer::renderPicture(int64_t frame) {
  if (frame < 0 || frame > setup_.length) {
    throw HostError("frame " + std::to_string(frame) + " lies outside the effect's length " +
                    std::to_string(setup_.length));
  }
  return renderWith(frame, decodeInputs(frame)).picture;
}

media::RgbImage FrameRenderer::render(int64_t frame) { return media::pictureToRgb(renderPicture(frame)); }

}  // namespace ophost::render
