#include "renderer.h"

#include <algorithm>
#include <cstdio>

#include "host_error.h"

namespace ophost::cli {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string hexCode(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

constexpr uint32_t kBlack = 0x108080FF;  // key 255, Cb 128, Cr 128, Y 16

std::unique_ptr<media::FrameSource> openInput(const std::string& option, const std::string& name) {
  try {
    return media::openSource(name);
  } catch (const HostError& error) {
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
    if (lower(file.stem().string()) == lower(name)) return file;
  }
  std::string known;
  for (const auto& file : files) known += (known.empty() ? "" : ", ") + file.stem().string();
  throw HostError("no plug-in \"" + name + "\" in " + directory.string() +
                  (known.empty() ? " (it holds none)" : " (there are: " + known + ")"));
}

FrameRenderer::FrameRenderer(const RenderSetup& setup) : setup_(setup) {
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
  if (setup.input0.empty()) throw HostError(name + " needs a picture: give --input0 (e.g. card:bars)");
  sources_[0] = openInput("--input0", setup.input0);
  if (model.singleInput()) {
    if (!setup.input1.empty() && setup_.warn) setup_.warn(name + " reads input 0 only: --input1 is not used");
  } else {
    if (setup.input1.empty()) {
      throw HostError(name + " needs two inputs: give --input1 as well (e.g. card:rings)");
    }
    sources_[1] = openInput("--input1", setup.input1);
  }

  const media::Size natural = sources_[0]->naturalSize();
  const FrameSize size = setup.size ? *setup.size : FrameSize{natural.width, natural.height};
  if (size.width < 2 || size.height < 2 || size.width > 8192 || size.height > 8192) {
    throw HostError("the frame size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                    " is not within 2..8192 on each side (give --size)");
  }
  geometry_ = Geometry::exact(size.width, size.height);
  if (setup.area) {
    const Geometry& a = *setup.area;
    if (a.x + a.width > size.width || a.y + a.height > size.height) {
      throw HostError("--area " + std::to_string(a.x) + "," + std::to_string(a.y) + "," +
                      std::to_string(a.width) + "," + std::to_string(a.height) +
                      " does not fit in the " + std::to_string(size.width) + "x" +
                      std::to_string(size.height) + " frame");
    }
    geometry_.x = a.x;
    geometry_.y = a.y;
    geometry_.width = a.width;
    geometry_.height = a.height;
  }

  plugin_->behaviour().checks = false;
  if (!setup.textureDirectory.empty()) plugin_->setTextureDirectory(setup.textureDirectory);
  plugin_->setFieldProvider([this](int32_t index, uint32_t) { return input(index, current_); });
  // Inputs are decoded before the plug-in opens, so a bad picture is found before any work.
  input(0, 0);
  if (sources_[1]) input(1, 0);

  const PluginTime time = pluginTime(setup.easing, 0, setup.length);
  ActionResult opened = plugin_->open(ActionRequest{time.length, 0, 0, 0, 0});
  if (opened.status != 0) {
    // The host's remarks say why (a texture it could not supply): they make the one message.
    std::string why;
    for (const std::string& note : opened.notes) why += (why.empty() ? ": " : "; ") + note;
    if (why.empty()) why = ": it answered " + std::to_string(opened.status) + " when opened";
    plugin_->close();
    throw HostError(name + " cannot start" + why);
  }
  report(opened, "open");
  opened_ = true;
}

FrameRenderer::~FrameRenderer() {
  if (opened_ && plugin_) {
    try {
      report(plugin_->close(), "close");
    } catch (...) {
    }
  }
}

std::shared_ptr<const Picture> FrameRenderer::input(int index, int64_t frame) {
  media::FrameSource* source = sources_[index].get();
  if (source == nullptr) return nullptr;
  const bool still = source->frameCount() && *source->frameCount() == 1;
  if (cached_[index] && (cachedFrame_[index] == frame || still)) return cached_[index];
  auto picture = std::make_shared<Picture>(geometry_, 4);
  for (int32_t row = 0; row < geometry_.rows; ++row)
    for (int32_t column = 0; column < geometry_.stride; ++column) picture->setPixel(column, row, kBlack);
  media::rgbIntoArea(source->frame(frame, {geometry_.width, geometry_.height}), *picture);
  cached_[index] = picture;
  cachedFrame_[index] = frame;
  return picture;
}

void FrameRenderer::report(const ActionResult& result, const std::string& when) {
  if (!setup_.warn) return;
  const std::string& name = plugin_->name();
  auto once = [&](const std::string& message) {
    if (warned_.insert(message).second) setup_.warn(message);
  };
  for (const LogRecord& log : result.logs) {
    once(name + " logged a failure at " + when + ": module " + log.file + ", line " +
         std::to_string(log.line) + ", module code " + hexCode(log.code) + " (level " +
         std::to_string(log.level) + ")");
  }
  for (const std::string& fault : result.faults) once(name + " misbehaved at " + when + ": " + fault);
  for (const std::string& note : result.notes) once("host: " + note);
}

Picture FrameRenderer::renderPicture(int64_t frame) {
  if (frame < 0 || frame > setup_.length) {
    throw HostError("frame " + std::to_string(frame) + " lies outside the effect's length " +
                    std::to_string(setup_.length));
  }
  current_ = frame;
  const PluginTime time = pluginTime(setup_.easing, frame, setup_.length);
  ActionResult result = plugin_->render(ActionRequest{time.length, time.position, 0, 0, 0});
  report(result, "frame " + std::to_string(frame));
  if (result.status != 0 || !result.output) {
    throw HostError(plugin_->name() + ": frame " + std::to_string(frame) + " could not be rendered (it answered " +
                    std::to_string(result.status) + (result.output ? "" : ", with no picture") + ")");
  }
  return std::move(*result.output);
}

media::RgbImage FrameRenderer::render(int64_t frame) { return media::pictureToRgb(renderPicture(frame)); }

}  // namespace ophost::cli
