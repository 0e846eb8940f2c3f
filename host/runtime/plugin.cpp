#include "plugin.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <set>

#include "buffer_pool.h"
#include "host_error.h"
#include "host_services.h"
#include "image_ledger.h"

namespace ophost {

struct Plugin::Impl {
  std::filesystem::path path;
  std::string name;
  void* handle = nullptr;
  OperatorModel model;
  FieldProvider fields;
  TextureProvider textures;
  HostBehaviour behaviour;
  ImageLedger ledger;
  std::mutex actions;  // one action at a time

  // The action being served.
  ActionResult* result = nullptr;
  uint32_t position = 0;
  bool putDone = false;
  std::optional<Geometry> frameGeometry;

  OpImage* getField(int32_t index, uint32_t fieldPosition);
  void checkInput(const Picture& picture) const;
  int32_t putField(OpImage* image);
  int32_t chkAbort();
  OpImage* allocImage(int32_t width, int32_t height, int32_t mode, int32_t flags);
  void freeImage(OpImage* image);
  OpImage* getImageFile(const char* requested, int32_t mode);
  int32_t logMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text);

  void call(HostCall::Kind kind, std::string image, std::string text = {}, int32_t index = 0,
            uint32_t callPosition = 0) {
    HostCall entry;
    entry.kind = kind;
    entry.image = std::move(image);
    entry.text = std::move(text);
    entry.index = index;
    entry.position = callPosition;
    result->calls.push_back(std::move(entry));
  }
  void finish(uint16_t action);
};

namespace {

thread_local Plugin::Impl* current = nullptr;

// Routes the host libraries' calls to the plug-in whose action is running on this thread. Nothing
// here may throw: the calls come from plug-in code, which has no unwind tables.
class RuntimeHost final : public HostServices {
 public:
  OpImage* getField(int32_t index, uint32_t position) override {
    return guarded<OpImage*>(nullptr, [&](Plugin::Impl& p) { return p.getField(index, position); });
  }
  int32_t putField(OpImage* image) override {
    return guarded<int32_t>(-1, [&](Plugin::Impl& p) { return p.putField(image); });
  }
  int32_t chkAbort() override {
    return guarded<int32_t>(0, [&](Plugin::Impl& p) { return p.chkAbort(); });
  }
  OpImage* allocImage(int32_t width, int32_t height, int32_t mode, int32_t flags) override {
    return guarded<OpImage*>(nullptr, [&](Plugin::Impl& p) {
      return p.allocImage(width, height, mode, flags);
    });
  }
  void freeImage(OpImage* image) override {
    guarded<int>(0, [&](Plugin::Impl& p) { p.freeImage(image); return 0; });
  }
  OpImage* getImageFile(const char* path, int32_t mode) override {
    return guarded<OpImage*>(nullptr, [&](Plugin::Impl& p) { return p.getImageFile(path, mode); });
  }
  int32_t logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                     const char* text) override {
    return guarded<int32_t>(-1, [&](Plugin::Impl& p) {
      return p.logMessage(level, line, file, code, text);
    });
  }

 private:
  template <typename T, typename F>
  T guarded(T fallback, F&& serve) noexcept {
    Plugin::Impl* plugin = current;
    if (plugin == nullptr) return fallback;  // a call outside any action: nothing to serve
    const auto started = std::chrono::steady_clock::now();
    struct Clock {
      Plugin::Impl* plugin;
      std::chrono::steady_clock::time_point started;
      ~Clock() { plugin->result->hostTime += std::chrono::steady_clock::now() - started; }
    } clock{plugin, started};
    try {
      return serve(*plugin);
    } catch (const std::exception& error) {
      plugin->result->notes.push_back(std::string("host error while serving a call: ") + error.what());
    } catch (...) {
      plugin->result->notes.push_back("host error while serving a call");
    }
    return fallback;
  }
};

RuntimeHost& runtimeHost() {
  static RuntimeHost host;
  return host;
}

std::mutex loadedMutex;
std::set<void*> loadedHandles;

std::string boundedString(const char* text) {
  if (text == nullptr) return "(null)";
  return std::string(text, strnlen(text, 4096));
}

std::string argumentsText(int32_t width, int32_t height, int32_t mode, int32_t flags) {
  return std::to_string(width) + ", " + std::to_string(height) + ", " + std::to_string(mode) + ", " +
         std::to_string(flags);
}

}  // namespace

// ---- Host calls -------------------------------------------------------------------------------------

OpImage* Plugin::Impl::getField(int32_t index, uint32_t fieldPosition) {
  if (index != 0 && index != 1) {
    call(HostCall::Kind::GetField, "null", {}, index, fieldPosition);
    result->faults.push_back("opGetField asked for input " + std::to_string(index) +
                             " (only 0 and 1 exist)");
    return nullptr;
  }
  const std::string label = "input " + std::to_string(index);
  std::shared_ptr<const Picture> picture;
  try {
    picture = fields ? fields(index, fieldPosition) : nullptr;
    if (picture != nullptr) checkInput(*picture);
  } catch (const std::exception& error) {
    result->notes.push_back(label + " cannot be given: " + error.what());
    picture = nullptr;
  }
  if (picture == nullptr) {
    call(HostCall::Kind::GetField, "null", {}, index, fieldPosition);
    return nullptr;
  }
  const Geometry geometry = picture->geometry;
  // A picture no one else holds is handed out in its own buffer; any other is copied, so a buffer
  // the plug-in may change is never one a later frame (or a second request) is shown.
  OpImage* image = soleOwner(picture)
                       ? ledger.adopt(takeOver(picture), ImageRole::Input, label, behaviour.checks,
                                      behaviour.guardPages)
                       : ledger.handOut(*picture, ImageRole::Input, label, behaviour.checks,
                                        behaviour.guardPages);
  if (!frameGeometry) frameGeometry = geometry;
  call(HostCall::Kind::GetField, label, {}, index, fieldPosition);
  return image;
}

void Plugin::Impl::checkInput(const Picture& picture) const {
  checkGeometry(picture.geometry);
  if (picture.bytesPerPixel != 4 ||
      picture.bytes.size() != static_cast<size_t>(picture.geometry.stride) *
                                  static_cast<size_t>(picture.geometry.rows) * 4) {
    throw HostError("not a four-byte picture of its size");
  }
  // Both inputs of a render share one layout: the plug-ins address input 1 with input 0's fields.
  if (frameGeometry && picture.geometry != *frameGeometry) {
    throw HostError(picture.geometry.describe() + " is not laid out like the other input (" +
                    frameGeometry->describe() + ")");
  }
}

int32_t Plugin::Impl::putField(OpImage* image) {
  const bool texture = ledger.isTexture(image);
  if (putDone) result->faults.push_back("opPutField called a second time in one action");
  Picture content;
  const std::string label = ledger.takeBack(image, "opPutField", result->faults, &content);
  call(HostCall::Kind::PutField, label.empty() ? "unknown" : label);
  if (label.empty()) return -1;
  if (texture) {
    result->faults.push_back("opPutField was given " + label + " as the output");
    return -1;
  }
  putDone = true;
  result->output = std::move(content);
  result->outputLabel = label;
  return behaviour.putStatus;
}

int32_t Plugin::Impl::chkAbort() {
  call(HostCall::Kind::ChkAbort, {});
  return behaviour.abort != nullptr && behaviour.abort->load() ? 1 : 0;
}

OpImage* Plugin::Impl::allocImage(int32_t width, int32_t height, int32_t mode, int32_t flags) {
  const std::string arguments = argumentsText(width, height, mode, flags);
  std::optional<Geometry> geometry;
  if (mode == 1 && flags == 0 && width == -1 && height == -1) {
    // Laid out like the inputs: the current frame's geometry.
    geometry = frameGeometry;
    if (!geometry && fields) {
      if (auto input0 = fields(0, position)) geometry = input0->geometry;
    }
  } else if (mode == 1 && width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide) {
    geometry = Geometry::exact(width, height);
  }
  if (behaviour.allocAnswersNull || !geometry) {
    call(HostCall::Kind::AllocImage, "null", arguments);
    return nullptr;
  }
  OpImage* image = ledger.handOutFilled(*geometry, behaviour.newImageFill, ImageRole::NewImage,
                                        "new image", behaviour.checks, behaviour.guardPages);
  call(HostCall::Kind::AllocImage, "new image", arguments);
  return image;
}

void Plugin::Impl::freeImage(OpImage* image) {
  Picture content;
  const bool keep = behaviour.checks;
  const std::string label = ledger.takeBack(image, "opFreeImage", result->faults,
                                            keep ? &content : nullptr);
  call(HostCall::Kind::FreeImage, label.empty() ? "unknown" : label);
  if (!label.empty() && keep) result->freed.push_back(ReleasedImage{label, std::move(content)});
}

OpImage* Plugin::Impl::getImageFile(const char* requested, int32_t mode) {
  const std::string asked = boundedString(requested);
  auto refuse = [&](const std::string& why) -> OpImage* {
    result->notes.push_back("texture " + asked + ": " + why);
    call(HostCall::Kind::GetImageFile, "null", asked);
    return nullptr;
  };
  const std::optional<std::string> textureName = textureNameFor(requested);
  if (!textureName) return refuse("refused: not a file name inside the texture directory");
  if (mode != 1) return refuse("refused: mode " + std::to_string(mode) + " (only 1 is served)");
  if (!textures) return refuse("no texture directory is configured");
  std::shared_ptr<const Picture> texture;
  try {
    texture = textures(*textureName);
  } catch (const HostError& error) {
    return refuse(error.what());
  }
  if (texture == nullptr || texture->bytesPerPixel != 1) return refuse("not available");
  checkGeometry(texture->geometry);
  const std::string label = "texture " + *textureName;
  OpImage* image = ledger.handOut(*texture, ImageRole::Texture, label, behaviour.checks,
                                  behaviour.guardPages);
  call(HostCall::Kind::GetImageFile, label, asked);
  return image;
}

int32_t Plugin::Impl::logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                                 const char* text) {
  result->logs.push_back(LogRecord{level, line, boundedString(file), code, boundedString(text)});
  call(HostCall::Kind::Log, {}, std::to_string(line));
  return 0;
}

void Plugin::Impl::finish(uint16_t action) {
  const bool failedRender = action == ACTION_RENDER && result->status == -1 && !putDone;
  for (const std::string& label : ledger.reclaim(ImageLedger::Kind::Images)) {
    if (failedRender) {
      result->reclaimed.push_back(label);
    } else {
      result->faults.push_back(label + " was neither put nor given back by the end of the action");
    }
  }
  ledger.checkHeldTextures(result->faults);
  if (action == ACTION_CLOSE) {
    for (const std::string& label : ledger.reclaim(ImageLedger::Kind::Textures)) {
      result->faults.push_back(label + " was still held after close");
    }
  }
  ledger.forgetReturned();
}

// ---- Plugin ------------------------------------------------------------------------------------------

std::unique_ptr<Plugin> Plugin::load(const std::filesystem::path& path) {
  HostServices* installed = installedHostServices();
  if (installed == nullptr) {
    installHostServices(&runtimeHost());
  } else if (installed != &runtimeHost()) {
    throw HostError("another host object is installed in this process");
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw HostError(path.string() + ": no such plug-in file");
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw HostError(path.string() + ": cannot be loaded (" + boundedString(dlerror()) + ")");
  }
  {
    std::lock_guard lock(loadedMutex);
    if (!loadedHandles.insert(handle).second) {
      dlclose(handle);
      throw HostError(path.string() + ": this plug-in is already loaded by this process");
    }
  }
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->name = path.stem().string();
  impl->handle = handle;
  auto fail = [&](const std::string& why) {
    {
      std::lock_guard lock(loadedMutex);
      loadedHandles.erase(handle);
    }
    dlclose(handle);
    throw HostError(path.string() + ": " + why);
  };
  void* action = dlsym(handle, "OperatorAction");
  void* info = dlsym(handle, "GetOperatorInfo");
  if (action == nullptr || info == nullptr) fail("not a plug-in (OperatorAction or GetOperatorInfo missing)");
  try {
    auto getInfo = reinterpret_cast<uintptr_t* (*)()>(info);
    impl->model = readOperatorInfo(getInfo());
  } catch (const HostError& bad) {
    fail(bad.what());
  }
  if (reinterpret_cast<void*>(impl->model.action) != action) {
    fail("OPE_Action does not name the exported OperatorAction");
  }
  return std::unique_ptr<Plugin>(new Plugin(std::move(impl)));
}

Plugin::Plugin(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Plugin::~Plugin() {
  impl_->ledger.reclaim(ImageLedger::Kind::Images);
  impl_->ledger.reclaim(ImageLedger::Kind::Textures);
  {
    std::lock_guard lock(loadedMutex);
    loadedHandles.erase(impl_->handle);
  }
  dlclose(impl_->handle);
}

const std::string& Plugin::name() const { return impl_->name; }
const std::filesystem::path& Plugin::path() const { return impl_->path; }
const OperatorModel& Plugin::model() const { return impl_->model; }

void Plugin::setValue(size_t param, int64_t value) {
  const auto& params = impl_->model.params;
  if (param >= params.size()) {
    throw HostError(impl_->name + " has no parameter " + std::to_string(param + 1));
  }
  const ParamModel& p = params[param];
  if (value < p.lowest() || value > p.highest()) {
    throw HostError(impl_->name + " parameter " + std::to_string(param + 1) + ": " +
                    std::to_string(value) + " is outside its range " + std::to_string(p.lowest()) +
                    ".." + std::to_string(p.highest()));
  }
  std::lock_guard lock(impl_->actions);
  *p.valueWord = static_cast<uint32_t>(value);
}

int64_t Plugin::value(size_t param) const {
  const ParamModel& p = impl_->model.params.at(param);
  const uint32_t word = *p.valueWord;
  return p.kind == ParamKind::Colour ? static_cast<int64_t>(word)
                                     : static_cast<int64_t>(static_cast<int32_t>(word));
}

void Plugin::resetValues() {
  std::lock_guard lock(impl_->actions);
  for (const ParamModel& p : impl_->model.params) *p.valueWord = static_cast<uint32_t>(p.defaultValue);
}

void Plugin::setFieldProvider(FieldProvider provider) { impl_->fields = std::move(provider); }
void Plugin::setTextureProvider(TextureProvider provider) { impl_->textures = std::move(provider); }
void Plugin::setTextureDirectory(const std::filesystem::path& directory) {
  impl_->textures = directoryTextures(directory);
}
HostBehaviour& Plugin::behaviour() { return impl_->behaviour; }

std::vector<std::string> Plugin::heldTextures() const { return impl_->ledger.held(ImageLedger::Kind::Textures); }

ActionResult Plugin::open(const ActionRequest& request) { return act(ACTION_OPEN, request); }
ActionResult Plugin::close(const ActionRequest& request) { return act(ACTION_CLOSE, request); }
ActionResult Plugin::render(const ActionRequest& request) { return act(ACTION_RENDER, request); }

ActionResult Plugin::act(uint16_t action, const ActionRequest& request) {
  std::lock_guard lock(impl_->actions);
  ActionResult result;
  OperatorContext context;
  std::memset(&context, 0, sizeof context);
  context.action = action;
  context.flags = request.flags;
  context.length = request.length;
  context.position = request.position;
  context.scaleNum = request.scaleNum;
  context.scaleDen = request.scaleDen;

  Impl& impl = *impl_;
  impl.result = &result;
  impl.position = request.position;
  impl.putDone = false;
  impl.frameGeometry.reset();
  Impl* previous = current;
  current = &impl;
  const auto started = std::chrono::steady_clock::now();
  result.status = impl.model.action(&context);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  current = previous;
  result.pluginTime = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed) - result.hostTime;
  impl.finish(action);
  impl.result = nullptr;
  return result;
}

// ---- Results -------------------------------------------------------------------------------------

std::string HostCall::brief() const {
  switch (kind) {
    case Kind::GetField: return "get " + std::to_string(index);
    case Kind::PutField: return "put " + image;
    case Kind::ChkAbort: return "abort?";
    case Kind::AllocImage: return "alloc " + image;
    case Kind::FreeImage: return "free " + image;
    case Kind::GetImageFile: return "texture " + text;
    case Kind::Log: return "log " + text;
  }
  return "?";
}

std::vector<std::string> ActionResult::briefCalls() const {
  std::vector<std::string> out;
  for (const HostCall& c : calls) out.push_back(c.brief());
  return out;
}

int ActionResult::count(HostCall::Kind kind) const {
  int n = 0;
  for (const HostCall& c : calls) n += c.kind == kind ? 1 : 0;
  return n;
}

}  // namespace ophost
