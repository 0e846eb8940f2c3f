// opbench: how fast every plug-in renders, against the memory floor and against FFmpeg.
//
// Three kinds of benchmark run in one program, at 720 x 576, 1920 x 1080 and 3840 x 2160:
//   op/NAME/SETTING/WxH   one render of a plug-in through its real library and the host runtime,
//                         timed by the runtime's pluginTime (the host's copies are left out);
//   floor/KIND/WxH        a plain copy kernel that reads and writes the bytes a render must touch,
//                         its sources freshly copied in first, as the host copies a render's inputs;
//   ffmpeg/FILTER/WxH     FFmpeg's xfade transitions (and a 3x3 emboss convolution) through
//                         libavfilter, one thread, yuva444p (four bytes a pixel, like ours).
// Every benchmark reports its time per frame as manual time, plus MP/s and ns/px. A plug-in
// benchmark's label names its floor and the FFmpeg benchmarks it is compared with; the ratios are
// worked out from one run's JSON output by bench/write_results.py.
//
// A plug-in benchmark's label also names the vector path its renders took (OP_VECTOR_PATH caps
// it, as in the plug-ins).
//
// --sizes=WxH[,WxH...] runs other frame sizes instead of the three. Two short frames of a full
// width (1920x16 and 1920x48, say) keep a render's data in the caches: the difference of their
// times over the difference of their pixels is a kernel's own speed, apart from memory's and from
// its once-a-render work. (A narrow frame is no guide: per-row work weighs more there.)
//
//   opbench [--plugins=DIR] [--sizes=WxH,...] [google benchmark flags]
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "noise_picture.h"
#include "vector_path.h"
#include "synthetic_textures.h"
#include "plugin.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using ophost::Geometry;
using ophost::Picture;

struct FrameSize {
  int32_t width;
  int32_t height;
  std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
  double pixels() const { return (double)width * height; }
};

std::vector<FrameSize> kSizes = {{720, 576}, {1920, 1080}, {3840, 2160}};
const FrameSize kMainSize = {1920, 1080};

// Runs of a few hundred milliseconds of measured time each keep the whole program to minutes.
constexpr double kMinTime = 0.3;

// ---- Inputs -------------------------------------------------------------------------------------------

struct Inputs {
  std::shared_ptr<const Picture> input0;
  std::shared_ptr<const Picture> input1;
};

const Inputs& inputsFor(const FrameSize& size) {
  static std::map<std::string, Inputs> cache;
  auto found = cache.find(size.name());
  if (found != cache.end()) return found->second;
  const Geometry g = Geometry::exact(size.width, size.height);
  Inputs inputs{std::make_shared<const Picture>(ophost::noisePicture(g, 1)),
                std::make_shared<const Picture>(ophost::noisePicture(g, 2))};
  return cache.emplace(size.name(), std::move(inputs)).first->second;
}

void reportRate(benchmark::State& state, double pixels, double seconds) {
  const double frames = (double)state.iterations();
  if (seconds <= 0 || frames <= 0) return;
  state.counters["MP/s"] = pixels * frames / seconds / 1e6;
  state.counters["ns/px"] = seconds * 1e9 / (pixels * frames);
}

// ---- Plug-ins -------------------------------------------------------------------------------------------

// One way of running a plug-in: parameter values (by index), the position, and the FFmpeg
// benchmarks it is compared with.
struct Setting {
  std::string name;
  std::vector<std::pair<size_t, int64_t>> values;
  uint32_t position = 50;
  uint32_t length = 100;
  std::vector<std::string> ffmpeg;
  bool largeSizesOnly = false;  // 1920 x 1080 and 3840 x 2160 only
};

// Mid-effect with default parameters, then the costliest settings each plug-in has. Names not
// listed get the default setting alone.
std::vector<Setting> settingsFor(const std::string& plugin) {
  const std::vector<std::string> wipeRivals = {"dissolve", "fade"};
  if (plugin == "Bump") {
    return {{"default", {}, 50, 100, {"emboss"}},
            {"strength-100-down-right", {{0, 3}, {1, 100}}, 50, 100, {"emboss"}}};
  }
  if (plugin == "Halves") {
    // Named by the way the bands move: squeeze-right is the layout "left" (input 1 in from the
    // left), squeeze-left the layout "right", squeeze-up the default, "bottom".
    return {{"default-push-up", {}, 50, 100, {"slideup"}},
            {"push-left", {{1, 3}}, 50, 100, {"slideleft"}},
            {"squeeze-up", {{0, 1}}, 50, 100, {"squeezev"}},
            {"squeeze-left", {{0, 1}, {1, 3}}, 50, 100, {"squeezeh"}},
            {"squeeze-right", {{0, 1}, {1, 1}}, 50, 100, {"squeezeh"}}};
  }
  if (plugin == "Blinds") {
    return {{"default", {}, 50, 100, {"wipeup"}},
            {"20-columns-staggered", {{0, 1}, {2, 20}, {3, 1}}, 50, 100, {"wipeleft"}}};
  }
  if (plugin == "Fog") {
    return {{"default", {}, 50, 100, {}}, {"circle-amount-60", {{0, 1}, {1, 60}}, 50, 100, {}}};
  }
  if (plugin == "Jolt") {
    std::vector<Setting> settings = {{"default", {}, 50, 100, {"zoomin"}},
                                     {"peak-scale", {}, 62, 100, {"zoomin"}}};
    for (uint32_t position : {10u, 25u, 75u, 90u}) {
      settings.push_back({"position-" + std::to_string(position), {}, position, 100, {"zoomin"}, true});
    }
    return settings;
  }
  if (plugin == "Ripples" || plugin == "Slant" || plugin == "Streaks" || plugin == "Sunbeams") {
    return {{"default", {}, 50, 100, wipeRivals},
            {"softness-100", {{0, 100}}, 50, 100, wipeRivals}};
  }
  return {{"default", {}, 50, 100, {}}};
}

std::vector<std::unique_ptr<ophost::Plugin>>& loadedPlugins() {
  static std::vector<std::unique_ptr<ophost::Plugin>> plugins;
  return plugins;
}

// The vector path a plug-in's renders take in this process: the path OP_VECTOR_PATH and the CPU
// allow (found as every plug-in finds it), down to the widest variant the plug-in carries. Blinds
// only copies runs of pixels (the C library's own copy) and carries none; Bump, Fog, Halves and
// Jolt carry AVX2 variants, the wipes AVX-512 ones as well.
std::string vectorPathOf(const std::string& plugin) {
  const char* names[] = {"baseline", "avx2", "avx512"};
  int path = opframe::cappedVectorPath(opframe::cpuVectorPath());
  if (plugin == "Blinds") path = opframe::VECTOR_BASELINE;
  const bool widest = plugin == "Ripples" || plugin == "Slant" || plugin == "Streaks" || plugin == "Sunbeams";
  if (!widest && path > opframe::VECTOR_AVX2) path = opframe::VECTOR_AVX2;
  return names[path];
}

// Which floor a plug-in is held to, found from one small render: an output put as a new image
// means two inputs read and a third buffer written; one input read means in place, one frame.
std::string floorKindOf(ophost::Plugin& plugin) {
  const Geometry g = Geometry::exact(64, 48);
  plugin.setFieldProvider([a = std::make_shared<const Picture>(ophost::noisePicture(g, 3)),
                           b = std::make_shared<const Picture>(ophost::noisePicture(g, 4))](
                              int32_t index, uint32_t) { return index == 0 ? a : b; });
  plugin.open();
  const ophost::ActionResult result = plugin.render({100, 50});
  plugin.close();
  if (result.outputLabel == "new image") return "new2";
  return result.count(ophost::HostCall::Kind::GetField) == 1 ? "inplace1" : "inplace2";
}

void benchPlugin(benchmark::State& state, ophost::Plugin* plugin, Setting setting, FrameSize size) {
  const Inputs& inputs = inputsFor(size);
  plugin->resetValues();
  for (const auto& [index, value] : setting.values) plugin->setValue(index, value);
  plugin->setFieldProvider([inputs](int32_t index, uint32_t) {
    return index == 0 ? inputs.input0 : inputs.input1;
  });
  plugin->behaviour().checks = false;
  const ophost::ActionResult opened = plugin->open();
  if (opened.status != 0) {
    state.SkipWithError("open failed");
    return;
  }
  const ophost::ActionRequest request{setting.length, setting.position};
  if (plugin->render(request).status != 0) {  // warm-up, and a check that the render works at all
    state.SkipWithError("render failed");
    plugin->close();
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    const ophost::ActionResult result = plugin->render(request);
    const double t = std::chrono::duration<double>(result.pluginTime).count();
    state.SetIterationTime(t);
    seconds += t;
  }
  plugin->close();
  plugin->resetValues();
  reportRate(state, size.pixels(), seconds);
}

// ---- The memory floor -------------------------------------------------------------------------------------

// Reads `a` and `b` and writes their exclusive or to `out` (which may be `a`), sixteen bytes at a
// time: the least a render that reads two frames and writes one can cost.
__attribute__((noinline)) void xorKernel(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t bytes) {
  for (size_t n = 0; n + 16 <= bytes; n += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + n));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + n));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_xor_si128(x, y));
  }
}

// Reads one frame and writes it back inverted: the least an in-place one-input render can cost.
__attribute__((noinline)) void invertKernel(uint8_t* frame, size_t bytes) {
  const __m128i ones = _mm_set1_epi32(-1);
  for (size_t n = 0; n + 16 <= bytes; n += 16) {
    __m128i* p = reinterpret_cast<__m128i*>(frame + n);
    _mm_storeu_si128(p, _mm_xor_si128(_mm_loadu_si128(p), ones));
  }
}

void benchFloor(benchmark::State& state, std::string kind, FrameSize size) {
  const Inputs& inputs = inputsFor(size);
  const size_t bytes = inputs.input0->bytes.size();
  std::vector<uint8_t> a(bytes), b(bytes), c(bytes);
  double seconds = 0;
  for (auto _ : state) {
    // As the host does before every render: the inputs (and a new image) are written afresh.
    std::memcpy(a.data(), inputs.input0->bytes.data(), bytes);
    if (kind != "inplace1") std::memcpy(b.data(), inputs.input1->bytes.data(), bytes);
    if (kind == "new2") std::memset(c.data(), 0x10, bytes);
    const auto started = Clock::now();
    if (kind == "inplace1") {
      invertKernel(a.data(), bytes);
    } else {
      xorKernel(kind == "new2" ? c.data() : a.data(), a.data(), b.data(), bytes);
    }
    const double t = std::chrono::duration<double>(Clock::now() - started).count();
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(c.data());
    benchmark::ClobberMemory();
    state.SetIterationTime(t);
    seconds += t;
  }
  reportRate(state, size.pixels(), seconds);
}

// ---- FFmpeg ---------------------------------------------------------------------------------------------------

// A filter graph of one or two yuva444p sources, one filter and a sink, run on one thread.
class FilterGraph {
 public:
  FilterGraph(const FrameSize& size, int inputCount, const char* filter, const std::string& args)
      : inputCount_(inputCount) {
    graph_ = avfilter_graph_alloc();
    graph_->nb_threads = 1;
    graph_->thread_type = 0;
    const std::string source = "video_size=" + size.name() +
                               ":pix_fmt=yuva444p:time_base=1/1000000:pixel_aspect=1/1:frame_rate=25/1";
    for (int n = 0; n < inputCount; ++n) {
      if (avfilter_graph_create_filter(&sources_[n], avfilter_get_by_name("buffer"),
                                       ("in" + std::to_string(n)).c_str(), source.c_str(), nullptr,
                                       graph_) < 0) {
        return;
      }
    }
    AVFilterContext* effect = nullptr;
    const AVFilter* kind = avfilter_get_by_name(filter);
    if (kind == nullptr ||
        avfilter_graph_create_filter(&effect, kind, "effect", args.c_str(), nullptr, graph_) < 0) {
      return;
    }
    if (avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                     nullptr, graph_) < 0) {
      return;
    }
    for (int n = 0; n < inputCount; ++n) {
      if (avfilter_link(sources_[n], 0, effect, (unsigned)n) < 0) return;
    }
    if (avfilter_link(effect, 0, sink_, 0) < 0) return;
    if (avfilter_graph_config(graph_, nullptr) < 0) return;

    for (int n = 0; n < inputCount; ++n) {
      frames_[n] = av_frame_alloc();
      frames_[n]->format = AV_PIX_FMT_YUVA444P;
      frames_[n]->width = size.width;
      frames_[n]->height = size.height;
      if (av_frame_get_buffer(frames_[n], 0) < 0) return;
      uint32_t state = 0x9E3779B9u * (uint32_t)(n + 1);
      for (int plane = 0; plane < 4; ++plane) {
        for (int row = 0; row < size.height; ++row) {
          uint8_t* line = frames_[n]->data[plane] + (ptrdiff_t)row * frames_[n]->linesize[plane];
          for (int column = 0; column < size.width; ++column) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            line[column] = (uint8_t)(state >> 24);
          }
        }
      }
    }
    output_ = av_frame_alloc();
    ready_ = true;
  }

  ~FilterGraph() {
    for (AVFrame*& frame : frames_) av_frame_free(&frame);
    av_frame_free(&output_);
    avfilter_graph_free(&graph_);
  }

  bool ready() const { return ready_; }

  // Pushes one frame into every source at `pts` (microseconds) and takes one frame out.
  bool run(int64_t pts) {
    for (int n = 0; n < inputCount_; ++n) {
      frames_[n]->pts = pts;
      if (av_buffersrc_add_frame_flags(sources_[n], frames_[n], AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
        return false;
      }
    }
    const int got = av_buffersink_get_frame(sink_, output_);
    if (got < 0) return false;
    av_frame_unref(output_);
    return true;
  }

 private:
  int inputCount_;
  bool ready_ = false;
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* sources_[2] = {nullptr, nullptr};
  AVFilterContext* sink_ = nullptr;
  AVFrame* frames_[2] = {nullptr, nullptr};
  AVFrame* output_ = nullptr;
};

// The rivals: xfade transitions, and a 3x3 emboss on the luma plane (the other planes copied).
struct Rival {
  std::string name;
  int inputs;
  const char* filter;
  std::string args;
};

std::vector<Rival> rivals() {
  std::vector<Rival> list;
  for (const char* transition : {"slideup", "slideleft", "squeezev", "squeezeh", "wipeup",
                                 "wipeleft", "dissolve", "fade", "zoomin"}) {
    // A minute-long transition: the frames timed all sit at its middle.
    list.push_back({transition, 2, "xfade",
                    std::string("transition=") + transition + ":duration=60:offset=0"});
  }
  list.push_back({"emboss", 1, "convolution", "0m=-2 -1 0 -1 1 1 0 1 2:0rdiv=1:0bias=0"});
  return list;
}

bool rivalAvailable(const Rival& rival) {
  av_log_set_level(AV_LOG_QUIET);
  FilterGraph probe(FrameSize{64, 48}, rival.inputs, rival.filter, rival.args);
  av_log_set_level(AV_LOG_WARNING);
  return probe.ready() && probe.run(0);
}

void benchRival(benchmark::State& state, Rival rival, FrameSize size) {
  FilterGraph graph(size, rival.inputs, rival.filter, rival.args);
  // The first frame opens the transition at its start; the rest lie half-way through it.
  if (!graph.ready() || !graph.run(0)) {
    state.SkipWithError("the filter graph does not run");
    return;
  }
  int64_t pts = 30'000'000;
  double seconds = 0;
  for (auto _ : state) {
    const auto started = Clock::now();
    const bool ok = graph.run(pts++);
    const double t = std::chrono::duration<double>(Clock::now() - started).count();
    if (!ok) {
      state.SkipWithError("the filter graph stopped");
      break;
    }
    state.SetIterationTime(t);
    seconds += t;
  }
  reportRate(state, size.pixels(), seconds);
}

// ---- Registration ---------------------------------------------------------------------------------------------

template <typename F>
void add(const std::string& name, F&& body) {
  benchmark::RegisterBenchmark(name.c_str(), std::forward<F>(body))
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->MinTime(kMinTime);
}

void registerAll(const std::filesystem::path& pluginDir) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(pluginDir)) {
    if (entry.path().extension() == ".so") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());

  std::vector<std::string> floorKinds;
  for (const auto& file : files) {
    std::unique_ptr<ophost::Plugin> plugin;
    try {
      plugin = ophost::Plugin::load(file);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "opbench: %s\n", error.what());
      continue;
    }
    plugin->setTextureProvider(synthetic::syntheticTextures());
    const std::string floor = floorKindOf(*plugin);
    if (std::find(floorKinds.begin(), floorKinds.end(), floor) == floorKinds.end()) {
      floorKinds.push_back(floor);
    }
    for (const Setting& setting : settingsFor(plugin->name())) {
      std::string label = "path=" + vectorPathOf(plugin->name()) + " floor=" + floor + " ffmpeg=";
      for (size_t n = 0; n < setting.ffmpeg.size(); ++n) {
        label += (n ? "," : "") + setting.ffmpeg[n];
      }
      for (const FrameSize& size : kSizes) {
        if (setting.largeSizesOnly && size.width < kMainSize.width) continue;
        ophost::Plugin* p = plugin.get();
        add("op/" + plugin->name() + "/" + setting.name + "/" + size.name(),
            [p, setting, size, label](benchmark::State& state) {
              state.SetLabel(label);
              benchPlugin(state, p, setting, size);
            });
      }
    }
    loadedPlugins().push_back(std::move(plugin));
  }

  for (const std::string& kind : floorKinds) {
    for (const FrameSize& size : kSizes) {
      add("floor/" + kind + "/" + size.name(),
          [kind, size](benchmark::State& state) { benchFloor(state, kind, size); });
    }
  }

  for (const Rival& rival : rivals()) {
    if (!rivalAvailable(rival)) {
      std::fprintf(stderr, "opbench: FFmpeg here has no %s; left out\n", rival.name.c_str());
      continue;
    }
    for (const FrameSize& size : kSizes) {
      add("ffmpeg/" + rival.name + "/" + size.name(),
          [rival, size](benchmark::State& state) { benchRival(state, rival, size); });
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path pluginDir = OP_PLUGIN_DIR;
  std::vector<char*> rest;
  for (int n = 0; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg.rfind("--plugins=", 0) == 0) {
      pluginDir = arg.substr(10);
    } else if (arg.rfind("--sizes=", 0) == 0) {
      kSizes.clear();
      std::string list = arg.substr(8);
      for (size_t at = 0; at < list.size();) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        int32_t width = 0, height = 0;
        if (std::sscanf(list.substr(at, end - at).c_str(), "%dx%d", &width, &height) != 2 ||
            width <= 0 || height <= 0) {
          std::fprintf(stderr, "opbench: --sizes wants WxH[,WxH...]\n");
          return 1;
        }
        kSizes.push_back({width, height});
        at = end + 1;
      }
    } else {
      rest.push_back(argv[n]);
    }
  }
  int restCount = (int)rest.size();
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  registerAll(pluginDir);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  loadedPlugins().clear();
  return 0;
}
