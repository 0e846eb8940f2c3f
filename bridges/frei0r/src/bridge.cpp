#include "bridge.h"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "band_guard.h"
#include "buffer_pool.h"
#include "frames.h"
#include "host_error.h"
#include "plugin.h"
#include "reporter.h"
#include "string_catalogue.h"

namespace kt3frei0r {

namespace {

namespace fs = std::filesystem;
using ophost::Picture;

// A transition or Bump (two inputs) rather than a filter (Fog), as the catalogue knows them.
bool isMixer(const std::string& effect) {
  const ophost::KnownEffect* known = ophost::knownEffect(effect);
  return known == nullptr || !known->filter;
}

// Descriptor parameters a plug-in reads when it is opened and not at each render: a change of one
// of them takes a close and an open.
std::vector<size_t> readAtOpen(const std::string& effect) {
  const ophost::KnownEffect* known = ophost::knownEffect(effect);
  if (known == nullptr) return {};
  return {known->readAtOpen.begin(), known->readAtOpen.end()};
}

// One effect: its plug-in, loaded once per process, and what the bridge shows of it. Lives as long
// as the process (the bridge library is never unloaded), so nothing runs at exit.
struct Effect {
  std::string name;
  // What a frei0r host calls it: "KT3 Halves". GStreamer names its elements after it
  // (frei0r-mixer-kt3-halves), which keeps them apart from any other frei0r plug-in's "Halves".
  std::string title;
  bool mixer = false;
  std::unique_ptr<ophost::Plugin> plugin;  // null when it cannot be loaded
  std::string problem;                     // why not
  std::vector<BridgeParam> params;
  std::vector<size_t> openTime;
  std::string summary;
  Reporter reporter;

  // One instance's action at a time; everything below belongs to the action under way.
  std::mutex mutex;
  int instances = 0;
  bool opened = false;
  std::vector<int64_t> openedWith;   // the descriptor values of the last open
  uint32_t openedLength = kLength;   // ... and the length it was given
  bool openFailed = false;
  std::vector<int64_t> failedWith;   // ... of an open that failed (not retried with the same)
  // The render's inputs, and the frei0r frames they were made from: an input no one else holds is
  // handed over to the plug-in at its first request, and made again for a second one.
  std::array<std::shared_ptr<const Picture>, 2> inputs;
  std::array<const uint32_t*, 2> frames{};
  std::array<bool, 2> handedOver{};
  int32_t width = 0, height = 0;

  explicit Effect(const EffectRef& effectRef)
      : name(effectRef.name),
        title(std::string("KT3 ") + effectRef.name),
        mixer(isMixer(effectRef.name)),
        reporter(effectRef.name) {}
};

struct Instance {
  Effect* effect = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  std::mutex updating;                       // one frame (or band) of this instance at a time
  BandGuard bands;                           // under `updating`
  std::mutex mutex;                          // the values, set and read from any thread
  std::vector<double> numbers;               // per frei0r parameter, as the editor set them
  std::vector<f0r_param_color_t> colours;    // ... for colour parameters
  std::vector<int64_t> natives;              // per descriptor, the values written before a render
  double progress = 0;                       // a transition's progress 0..1
  uint32_t length = kLength;                 // ... and the length it renders at (`frames`)
};

fs::path fileOf(const void* anchor) {
  Dl_info info{};
  if (anchor == nullptr || dladdr(anchor, &info) == 0 || info.dli_fname == nullptr) return {};
  std::error_code error;
  fs::path file = fs::canonical(info.dli_fname, error);
  return error ? fs::path(info.dli_fname) : file;
}

// An address inside this library, by which it finds the file it was loaded from.
const char kHere = 0;

// The bridge library's directory has plugins/ and textures/ beside it (build/lib beside
// build/plugins, PREFIX/lib/kt3/lib beside PREFIX/lib/kt3/plugins), wherever the frei0r plug-in
// that loaded it lies (a copy in ~/.frei0r-1/lib too), unless the same variables as ophost's say
// otherwise.
fs::path directoryFor(const char* variable, const fs::path& bridgeFile, const char* sibling) {
  if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return value;
  return bridgeFile.parent_path().parent_path() / sibling;
}

void load(Effect& effect) {
  const fs::path file = fileOf(&kHere);
  const fs::path plugins = directoryFor("OPHOST_PLUGINS", file, "plugins");
  const fs::path textures = directoryFor("OPHOST_TEXTURES", file, "textures");
  try {
    auto plugin = ophost::Plugin::load(plugins / (effect.name + ".so"));
    if (plugin->model().singleInput() == effect.mixer) {
      throw ophost::HostError(plugin->path().string() + (effect.mixer ? " takes one input, not two"
                                                                      : " takes two inputs, not one"));
    }
    plugin->setTextureDirectory(textures);
    plugin->behaviour().checks = false;
    Effect* self = &effect;
    plugin->setFieldProvider([self](int32_t index, uint32_t) -> std::shared_ptr<const Picture> {
      if (index != 0 && index != 1) return nullptr;
      const auto i = static_cast<size_t>(index);
      if (self->handedOver[i]) return pictureFromRgba(self->frames[i], self->width, self->height);
      if (!ophost::soleOwner(self->inputs[i])) return self->inputs[i];
      self->handedOver[i] = true;
      return std::move(self->inputs[i]);
    });
    effect.params = bridgeParams(plugin->model(), effect.mixer);
    effect.openTime = readAtOpen(effect.name);
    effect.plugin = std::move(plugin);
  } catch (const std::exception& error) {
    effect.problem = error.what();
  }
  if (auto summary = ophost::pluginSummary(effect.name)) effect.summary = std::string(*summary);
  if (!effect.problem.empty()) {
    effect.summary = "not available: " + effect.problem;
    effect.reporter.say("cannot load the plug-in: " + effect.problem);
  }
}

Effect& effectFor(const EffectRef& effectRef) {
  static std::mutex registryMutex;
  static auto* registry = new std::map<std::string, Effect*>;  // never destroyed: see Effect
  std::lock_guard lock(registryMutex);
  Effect*& effect = (*registry)[effectRef.name];
  if (effect == nullptr) {
    effect = new Effect(effectRef);
    load(*effect);
  }
  return *effect;
}

bool differsAt(const std::vector<int64_t>& a, const std::vector<int64_t>& b,
               const std::vector<size_t>& indices) {
  for (size_t i : indices) {
    if (i < a.size() && i < b.size() && a[i] != b[i]) return true;
  }
  return false;
}

// Under effect.mutex: the plug-in open with `values` for the render that follows, or false.
bool readyFor(Effect& effect, const std::vector<int64_t>& values, uint32_t length, uint32_t position) {
  if (effect.opened && differsAt(effect.openedWith, values, effect.openTime)) {
    effect.reporter.report("close", effect.plugin->close({effect.openedLength, position}));
    effect.opened = false;
  }
  if (effect.opened) return true;
  if (effect.openFailed && effect.failedWith == values) return false;
  const ophost::ActionResult result = effect.plugin->open({length, position});
  effect.reporter.report("open", result);
  if (result.status != 0) {
    effect.openFailed = true;
    effect.failedWith = values;
    effect.reporter.say("the plug-in cannot be opened with these settings (open answered " +
                        std::to_string(result.status) + ")");
    // A failed open may have taken part of what it needs (Fog's mask): the close gives it back,
    // as ophost does.
    effect.reporter.report("close", effect.plugin->close({length, position}));
    return false;
  }
  effect.opened = true;
  effect.openFailed = false;
  effect.openedWith = values;
  effect.openedLength = length;
  return true;
}

}  // namespace

int init(const EffectRef& effectRef) {
  try {
    return effectFor(effectRef).plugin ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

void pluginInfo(const EffectRef& effectRef, f0r_plugin_info_t* info) {
  if (info == nullptr) return;
  Effect& effect = effectFor(effectRef);
  info->name = effect.title.c_str();
  info->author = "KT3 operators";
  info->plugin_type = effect.mixer ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER;
  info->color_model = F0R_COLOR_MODEL_RGBA8888;
  info->frei0r_version = FREI0R_MAJOR_VERSION;
  info->major_version = 1;
  info->minor_version = 0;
  info->num_params = static_cast<int>(effect.params.size());
  info->explanation = effect.summary.c_str();
}

void paramInfo(const EffectRef& effectRef, f0r_param_info_t* info, int index) {
  if (info == nullptr) return;
  Effect& effect = effectFor(effectRef);
  if (index < 0 || static_cast<size_t>(index) >= effect.params.size()) {
    info->name = "";
    info->type = F0R_PARAM_DOUBLE;
    info->explanation = "no such parameter";
    return;
  }
  const BridgeParam& p = effect.params[static_cast<size_t>(index)];
  info->name = p.name.c_str();
  info->type = p.type;
  info->explanation = p.explanation.c_str();
}

f0r_instance_t construct(const EffectRef& effectRef, unsigned width, unsigned height) {
  try {
    Effect& effect = effectFor(effectRef);
    auto* instance = new Instance;
    instance->effect = &effect;
    instance->width = width;
    instance->height = height;
    for (const BridgeParam& p : effect.params) {
      instance->numbers.push_back(p.defaultNumber);
      instance->colours.push_back(p.defaultColour);
    }
    if (effect.plugin) {
      for (const ophost::ParamModel& m : effect.plugin->model().params) {
        // A colour's default is a whole u32 word (0xEB8080FF), not a signed one.
        instance->natives.push_back(m.kind == ophost::ParamKind::Colour
                                        ? static_cast<int64_t>(static_cast<uint32_t>(m.defaultValue))
                                        : m.defaultValue);
      }
    }
    std::lock_guard lock(effect.mutex);
    ++effect.instances;
    return instance;
  } catch (...) {
    return nullptr;
  }
}

void destruct(f0r_instance_t handle) {
  auto* instance = static_cast<Instance*>(handle);
  if (instance == nullptr) return;
  Effect& effect = *instance->effect;
  try {
    std::lock_guard lock(effect.mutex);
    // The last instance gone: the plug-in gives back its texture (and Fog its mask).
    if (--effect.instances == 0 && effect.opened) {
      effect.reporter.report("close", effect.plugin->close({effect.openedLength, 0}));
      effect.opened = false;
    }
    if (effect.instances == 0) effect.openFailed = false;
  } catch (...) {
  }
  delete instance;
}

void setParam(f0r_instance_t handle, f0r_param_t param, int index) {
  auto* instance = static_cast<Instance*>(handle);
  if (instance == nullptr || param == nullptr) return;
  const Effect& effect = *instance->effect;
  if (index < 0 || static_cast<size_t>(index) >= effect.params.size()) return;
  const auto k = static_cast<size_t>(index);
  const BridgeParam& p = effect.params[k];
  try {
    std::lock_guard lock(instance->mutex);
    if (p.role == BridgeParam::Role::Colour) {
      const f0r_param_color_t colour = *static_cast<const f0r_param_color_t*>(param);
      const f0r_param_color_t& old = instance->colours[k];
      if (colour.r == old.r && colour.g == old.g && colour.b == old.b) return;
      instance->colours[k] = colour;
      instance->natives[p.descriptor] = nativeFromColour(colour);
      return;
    }
    const double number = *static_cast<const double*>(param);
    instance->numbers[k] = number;
    if (p.role == BridgeParam::Role::Progress) {
      instance->progress = number;
    } else if (p.role == BridgeParam::Role::Frames) {
      instance->length = lengthFromFrames(number);
    } else {
      instance->natives[p.descriptor] = nativeFromNumber(p, number);
    }
  } catch (const std::exception& error) {
    instance->effect->reporter.say("parameter " + p.name + ": " + error.what());
  }
}

void getParam(f0r_instance_t handle, f0r_param_t param, int index) {
  auto* instance = static_cast<Instance*>(handle);
  if (instance == nullptr || param == nullptr) return;
  if (index < 0 || static_cast<size_t>(index) >= instance->effect->params.size()) return;
  const auto k = static_cast<size_t>(index);
  std::lock_guard lock(instance->mutex);
  if (instance->effect->params[k].type == F0R_PARAM_COLOR) {
    *static_cast<f0r_param_color_t*>(param) = instance->colours[k];
  } else {
    *static_cast<double*>(param) = instance->numbers[k];
  }
}

void update(f0r_instance_t handle, double time, const uint32_t* input0, const uint32_t* input1,
            uint32_t* output) {
  auto* instance = static_cast<Instance*>(handle);
  if (instance == nullptr || output == nullptr) return;
  Effect& effect = *instance->effect;
  const size_t count = static_cast<size_t>(instance->width) * instance->height;
  std::unique_lock updating(instance->updating, std::defer_lock);
  try {
    updating.lock();
  } catch (...) {
    return;
  }
  // Input 0 as the output; without one, transparent black rather than whatever the editor's
  // buffer held.
  auto passThrough = [&] {
    if (input0 == nullptr) {
      std::memset(output, 0, count * 4);
    } else if (input0 != output) {
      std::memmove(output, input0, count * 4);
    }
  };
  if (!effect.plugin) {
    effect.reporter.say("cannot render (" + effect.problem + "): the frame passes through");
    return passThrough();
  }
  if (input0 == nullptr) {
    effect.reporter.say("a frame came without its input: the output is transparent black");
    return passThrough();
  }
  if (effect.mixer && input1 == nullptr) {
    effect.reporter.say("a frame came without its second input: the first passes through");
    return passThrough();
  }
  BandGuard::Call earlier;
  if (instance->bands.cut({time, input0, effect.mixer ? input1 : nullptr, output}, count, &earlier)) {
    effect.reporter.say("the editor cuts the frame into bands (MLT's threads property is set on this "
                        "effect): a whole-frame effect cannot render a band, so every band passes "
                        "through; remove threads from the effect");
    if (earlier.output != nullptr && earlier.input0 != earlier.output) {
      std::memmove(earlier.output, earlier.input0, count * 4);  // the band drawn as a frame
    }
    return passThrough();
  }
  if (instance->width > kLargestSide || instance->height > kLargestSide) {
    effect.reporter.say("a frame of " + std::to_string(instance->width) + "x" +
                        std::to_string(instance->height) + " is larger than the " +
                        std::to_string(kLargestSide) + " a side the effects take: it passes through");
    return passThrough();
  }
  if (count == 0) return;
  try {
    const auto width = static_cast<int32_t>(instance->width);
    const auto height = static_cast<int32_t>(instance->height);
    std::shared_ptr<const Picture> picture0 = pictureFromRgba(input0, width, height);
    std::shared_ptr<const Picture> picture1;
    if (effect.mixer) picture1 = pictureFromRgba(input1, width, height);
    std::vector<int64_t> values;
    uint32_t position = 0;
    uint32_t length = kLength;
    {
      std::lock_guard lock(instance->mutex);
      values = instance->natives;
      if (effect.mixer) {
        length = instance->length;
        position = positionFromProgress(instance->progress, length);
      }
    }
    std::optional<Picture> rendered;
    {
      std::lock_guard lock(effect.mutex);
      for (size_t i = 0; i < values.size(); ++i) effect.plugin->setValue(i, values[i]);
      if (!readyFor(effect, values, length, position)) return passThrough();
      effect.inputs = {std::move(picture0), std::move(picture1)};
      effect.frames = {input0, input1};
      effect.handedOver = {};
      effect.width = width, effect.height = height;
      ophost::ActionResult result = effect.plugin->render({length, position});
      effect.inputs = {};
      effect.frames = {};
      effect.reporter.report("render", result);
      if (result.status != 0 || !result.output) {
        effect.reporter.say("the render at position " + std::to_string(position) + " of " +
                            std::to_string(length) + " failed (status " +
                            std::to_string(result.status) + "): the frame passes through");
        return passThrough();
      }
      rendered = std::move(result.output);
    }
    rgbaFromPicture(*rendered, width, height, output);
    ophost::recycle(std::move(*rendered));
  } catch (const std::exception& error) {
    effect.reporter.say(std::string("cannot render the frame: ") + error.what());
    passThrough();
  } catch (...) {
    effect.reporter.say("cannot render the frame");
    passThrough();
  }
}

std::vector<BridgeParam> describe(const EffectRef& effectRef, std::string* problem) {
  Effect& effect = effectFor(effectRef);
  if (problem != nullptr) *problem = effect.problem;
  return effect.params;
}

}  // namespace kt3frei0r
