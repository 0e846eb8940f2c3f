#include "commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "cards.h"
#include "contact_sheet.h"
#include "host_error.h"
#include "input_files.h"
#include "interrupt.h"
#include "media_output.h"
#include "output_choice.h"
#include "plugin.h"
#include "progress.h"
#include "render_pipeline.h"
#include "renderer.h"
#include "segment.h"
#include "settings.h"
#include "string_catalogue.h"
#include "worker.h"

namespace ophost::cli {

using namespace ophost::render;

namespace {

void warn(const Warning& warning) { std::fprintf(stderr, "ophost: warning: %s\n", warning.text.c_str()); }

std::string identLine(const std::string& ident) {
  // "$Id: KT3_Bump,v 1.0 2014/03/20 00:00:00 Vethmar $" -> "KT3_Bump 1.0, 2014/03/20"
  const size_t start = ident.find("$Id: ");
  const size_t comma = ident.find(",v ");
  if (start == std::string::npos || comma == std::string::npos) return ident;
  const std::string module = ident.substr(start + 5, comma - start - 5);
  const std::string rest = ident.substr(comma + 3);
  const size_t space = rest.find(' ');
  const size_t date = rest.find(' ', space + 1);
  return module + " " + rest.substr(0, space) + ", " + rest.substr(space + 1, date - space - 1);
}

std::string kindText(const ParamModel& p) {
  switch (p.kind) {
    case ParamKind::Choice: return p.style == CHOICE_STYLE_DIRECTIONS ? "direction choice" : "choice";
    case ParamKind::Colour: return "colour";
    case ParamKind::Slider: return "slider";
  }
  return "";
}

void applySettings(Plugin& plugin, const std::vector<std::string>& settings) {
  const OperatorModel& model = plugin.model();
  for (const std::string& setting : settings) {
    const auto [key, text] = splitSetting(setting);
    const size_t index = findParam(model, plugin.name(), key);
    plugin.setValue(index, parseValue(model.params[index], plugin.name() + " " + paramName(model.params[index], index), text));
  }
}

RenderSetup setupFrom(const Options& options, const std::string& plugin) {
  RenderSetup setup;
  setup.pluginDirectory = options.plugins;
  setup.textureDirectory = options.textures;
  setup.plugin = plugin;
  setup.input0 = options.input0;
  setup.input1 = options.input1;
  setup.settings = options.settings;
  setup.length = wholeOption(options, "--length", kDefaultLength);
  if (!options.size.empty()) setup.size = parseSize(options.size);
  if (!options.area.empty()) setup.area = parseArea(options.area);
  if (!options.easing.empty()) setup.easing = Easing::parse(options.easing);
  if (!options.fps.empty()) setup.fps = media::parseFrameRate(options.fps, "--fps");
  if (options.noTonemap) setup.source.hdr = media::HighDynamicRange::Refuse;
  setup.source.deinterlace = options.deinterlace;
  setup.checks = options.checks;
  setup.warn = warn;
  // Read before any work, so a bad picture is told at once, by every worker alike.
  setup.textures = customTextures(options.texture, {plugin});
  return setup;
}

// One: the plug-ins take a few milliseconds a frame where decoding and encoding take tens, so
// worker processes add the copies through their pipes and win nothing unless the effect itself
// is the slow stage (a costly effect on a machine of many cores).
int defaultJobs() { return 1; }

// The arguments that start a worker for this render: the render's own options that render-worker
// takes (its plug-in, settings and timing), nothing else.
std::vector<std::string> workerArguments(const Options& options, const std::string& plugin) {
  Options worker = options;
  worker.positional = {plugin};
  return commandWords(worker, kRenderWorker);
}

std::string ownProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw HostError("cannot find the ophost program to start workers: " + error.message());
  return self.string();
}

// The output's rate: --fps, else `own` (input 0's), else 25.
media::FrameRate fpsFrom(const Options& options) {
  return options.fps.empty() ? media::FrameRate(kDefaultFps) : media::parseFrameRate(options.fps, "--fps");
}

}  // namespace

Options parseOptions(int argc, char** argv, const std::filesystem::path& programDirectory) {
  Options options;
  const char* plugins = std::getenv("OPHOST_PLUGINS");
  const char* textures = std::getenv("OPHOST_TEXTURES");
  options.plugins = plugins && *plugins ? std::filesystem::path(plugins) : programDirectory / ".." / "plugins";
  options.textures = textures && *textures ? std::filesystem::path(textures) : programDirectory / ".." / "textures";
  options.plugins = options.plugins.lexically_normal();
  options.textures = options.textures.lexically_normal();
  parseCommandLine(std::vector<std::string>(argv + std::min(argc, 1), argv + argc), options);
  return options;
}

void printUsage() {
  std::printf(
      "ophost: renders the operator plug-ins on pictures and video.\n"
      "\n"
      "  ophost list                     the plug-ins found, with what each does\n"
      "  ophost info NAME [--set P=V]    a plug-in's parameters, entries, ranges and defaults\n"
      "  ophost render NAME --input0 A [--input1 B] --output OUT [options]\n"
      "  ophost join CLIP1 CLIP2 [...] --with EFFECT[:P=V,...] --output OUT [options]\n"
      "                                  the clips one after another, a transition at each cut\n"
      "  ophost concat SEG1 SEG2 [...] --output OUT [--audio FILE]\n"
      "                                  the segments of a render or join (--segment K/N) joined\n"
      "                                  by stream copy; FILE's sound (join --sound-only) beside\n"
      "  ophost cluster render|join ... --slurm [--tasks N] [--no-wait]\n"
      "                                  the render or join split over a Slurm cluster's nodes\n"
      "  ophost demo [--output DIR]      every plug-in on the built-in pictures\n"
      "  ophost serve [--port N]         a live preview in the browser, on 127.0.0.1\n"
      "\n"
      "%s\n"
      "Inputs: PNG, JPEG and other stills, video files (MP4, MOV, MKV, WebM ...), numbered image\n"
      "sequences (shot%%04d.png), and built-in pictures:",
      optionUsage().c_str());
  for (const auto& card : media::cards()) std::printf(" card:%s", std::string(card.name).c_str());
  std::printf(
      ".\n"
      "\n"
      "Outputs, by name, and the codecs each carries (--codec; the first is the default):\n"
      "  out.png, out%%04d.png  png                            RGB; RGBA with alpha\n"
      "  out.mp4, out.m4v      h264, hevc                     4:2:0, no alpha\n"
      "  out.mov               h264, hevc, prores             prores: 4:2:2 HQ 10-bit; 4444 with alpha\n"
      "  out.mkv               h264, hevc, prores, ffv1, vp9  ffv1: 4:4:4, lossless; with alpha\n"
      "  out.webm              vp9                            4:2:0; with alpha\n"
      "  out.gif               gif                            256 colours, no alpha\n"
      "The output has alpha (the plug-in's keys) when the first frame of an input has transparency\n"
      "and its codec can hold alpha; ophost warns when the frames have transparency it cannot keep.\n");
}

int listCommand(const Options& options) {
  const auto files = pluginFiles(options.plugins);
  std::printf("Plug-ins in %s:\n", options.plugins.string().c_str());
  int failures = 0;
  for (const auto& file : files) {
    try {
      auto plugin = Plugin::load(file);
      const auto summary = pluginSummary(plugin->name());
      std::printf("  %-9s %-28s %s\n", plugin->name().c_str(), identLine(plugin->model().ident).c_str(),
                  summary ? std::string(*summary).c_str() : "(not in the host's catalogue)");
    } catch (const HostError& error) {
      std::printf("  %-9s cannot be loaded: %s\n", file.stem().string().c_str(), error.what());
      ++failures;
    }
  }
  if (files.empty()) std::printf("  (none: build them first)\n");
  std::printf("Built-in pictures:\n");
  for (const auto& card : media::cards()) {
    std::printf("  card:%-9s %s\n", std::string(card.name).c_str(), std::string(card.about).c_str());
  }
  return failures == 0 ? 0 : 1;
}

int infoCommand(const Options& options) {
  if (options.positional.size() != 1) throw HostError("info needs one plug-in name: ophost info NAME");
  auto plugin = Plugin::load(findPlugin(options.plugins, options.positional[0]));
  applySettings(*plugin, options.settings);
  const OperatorModel& model = plugin->model();
  const auto summary = pluginSummary(plugin->name());
  std::printf("%s - %s\n", plugin->name().c_str(), summary ? std::string(*summary).c_str() : "");
  std::printf("  ident:  %s\n", model.ident.c_str());
  std::printf("  inputs: %s\n", model.singleInput() ? "1 (a filter on input 0)" : "2 (input 0 and input 1)");
  std::printf("\nParameters (set with --set NAME=VALUE or NUMBER=VALUE):\n");
  for (size_t n = 0; n < model.params.size(); ++n) {
    const ParamModel& p = model.params[n];
    std::printf("\n  %zu  %-10s \"%s\", %s\n", n + 1, paramName(p, n).c_str(), catalogueText(p.label).c_str(),
                kindText(p).c_str());
    if (p.kind == ParamKind::Choice) {
      for (size_t e = 0; e < p.entries.size(); ++e) {
        std::printf("       %zu  %-14s %s%s\n", e, entryName(p, e).c_str(), entryText(p, e).c_str(),
                    p.style == CHOICE_STYLE_DIRECTIONS ? (" (code " + std::to_string(p.entries[e]) + ")").c_str() : "");
      }
    } else if (p.kind == ParamKind::Slider) {
      std::printf("       range %d..%d %s\n", p.min, p.max, catalogueText(p.subLabel).c_str());
    } else {
      std::printf("       any colour: #RRGGBB, #AARRGGBB (AA = key) or a packed OpPixel word\n");
    }
    std::printf("       default %s, now %s\n", describeValue(p, p.defaultValue).c_str(),
                describeValue(p, plugin->value(n)).c_str());
  }
  if (model.params.empty()) std::printf("  (none)\n");
  return 0;
}

namespace {

// A render checked and set up, before anything is written: its plug-in and inputs open, the
// whole job's frames first..last (without --segment) and the frames of this command's segment.
struct RenderJob {
  media::OutputKind kind = media::OutputKind::Png;
  RenderSetup setup;
  std::unique_ptr<FrameRenderer> renderer;
  int64_t first = 0, last = 0;
  std::optional<SegmentChoice> segment;
  int64_t segmentFirst = 0, segmentLast = 0;  // the frames this command writes
};

RenderJob prepareRender(const Options& options) {
  if (options.positional.size() != 1) throw HostError("render needs one plug-in name: ophost render NAME ...");
  if (options.output.empty()) throw HostError("render needs --output FILE (.png, name%04d.png, .mp4, .webm, .gif ...)");
  RenderJob job;
  job.kind = media::outputKindFor(options.output);
  if (!options.segment.empty()) job.segment = parseSegmentFor(options.segment, options.output);
  // The codec and its settings are checked before the plug-in and the inputs are opened.
  outputOptionsFrom(options, 2, 2, media::FrameRate(kDefaultFps), {});
  job.setup = setupFrom(options, options.positional[0]);
  const RenderSetup& setup = job.setup;

  int64_t& first = job.first;
  int64_t& last = job.last;
  if (!options.position.empty() && !options.frames.empty()) {
    throw HostError("give either --position or --frames, not both");
  }
  if (!options.frames.empty()) {
    std::tie(first, last) = parseRange(options.frames);
  } else if (!options.position.empty()) {
    first = last = wholeOption(options, "--position", 0);
  } else if (media::isAnimated(job.kind)) {
    first = 0, last = setup.length;
  } else {
    first = last = setup.length / 2;
  }
  if (last > setup.length) {
    throw HostError((options.frames.empty() ? "--position " + options.position : "--frames " + options.frames) +
                    " lies outside the effect's length " + std::to_string(setup.length) + " (frames 0.." +
                    std::to_string(setup.length) + ")");
  }
  if (job.kind == media::OutputKind::Png && first != last) {
    throw HostError(options.output + " holds one frame: write frames " + options.frames +
                    " to name%04d.png, .mp4 or .gif");
  }

  InputFiles inputs;
  inputs.add("--input0", options.input0);
  inputs.add("--input1", options.input1);
  for (const CustomTexture& texture : setup.textures) inputs.addFile(texture.file, "--texture " + texture.entry);
  inputs.checkOutput(options.output, job.kind, first, last);

  job.renderer = std::make_unique<FrameRenderer>(setup);
  job.segmentFirst = first, job.segmentLast = last;
  if (job.segment) {
    const auto [from, to] = segmentFrames(last - first + 1, job.renderer->rate(), *job.segment);
    job.segmentFirst = first + from;
    job.segmentLast = first + to - 1;
  }
  return job;
}

}  // namespace

JobShape renderJobShape(const Options& options) {
  const RenderJob job = prepareRender(options);
  return {job.last - job.first + 1, job.renderer->rate()};
}

int renderCommand(const Options& options) {
  RenderJob job = prepareRender(options);
  const RenderSetup& setup = job.setup;
  const int64_t first = job.segmentFirst, last = job.segmentLast;
  const int64_t count = last - first + 1;
  PipelineOptions pipeline;
  pipeline.first = first;
  pipeline.last = last;
  pipeline.jobs = static_cast<int>(wholeOption(options, "--jobs", defaultJobs()));
  pipeline.jobs = static_cast<int>(std::min<int64_t>(pipeline.jobs, count));
  pipeline.warn = warn;
  // The workers' deadline, shortened by the tests that stop a worker.
  if (const char* deadline = std::getenv("OPHOST_WORKER_DEADLINE_MS"); deadline && *deadline) {
    pipeline.workerDeadline = std::chrono::milliseconds(parseWhole(deadline, "OPHOST_WORKER_DEADLINE_MS", 1, 86400000));
  }

  FrameRenderer& renderer = *job.renderer;
  if (pipeline.jobs > 1) {
    pipeline.program = ownProgram();
    pipeline.workerArguments = workerArguments(options, renderer.pluginName());
  }
  const Geometry& g = renderer.geometry();
  const media::FrameRate fps = renderer.rate();
  InputTraits traits;
  traits.alpha = renderer.inputHasAlpha(0) || renderer.inputHasAlpha(1);
  traits.bt709 = renderer.inputIsBt709(0);
  // The frame is input 0's unless --size made another: then its pixels are square.
  if (!setup.size) traits.pixelAspect = renderer.inputPixelAspect(0);
  traits.fieldOrder = renderer.inputFieldOrder(0);
  media::OutputOptions output = outputOptionsFrom(options, g.stride, g.rows, fps, traits);
  if (job.segment) output.segmentStart = first - job.first;
  // Where the codec could have held alpha, the rule that left it out.
  const bool alphaLeftOut = media::holdsAlpha(media::outputCodec(options.output, output)) && !output.alpha;
  output.warn = [alphaLeftOut](const std::string& text) {
    warn({"output alpha", text + (alphaLeftOut ? " (an output has alpha only when an input has transparency)" : "")});
  };
  auto sink = media::createSink(options.output, output);
  sink->stopWhen(interrupted);
  Progress progress(renderer.pluginName(), count, options.quiet);
  pipeline.advanced = [&progress] { progress.advance(); };
  RenderTotals totals;
  std::vector<std::string> written;
  try {
    totals = renderFrames(renderer, *sink, pipeline);
    progress.done();
    written = sink->finish();
  } catch (const Interrupted&) {
    throw Interrupted("interrupted: the render of " + options.output + " stopped and nothing was written");
  } catch (const media::OutputStopped&) {
    throw Interrupted("interrupted: the render of " + options.output + " stopped and nothing was written");
  }
  if (!options.quiet) {
    std::string encoding = describeEncoding(options.output, output);
    if (job.segment) {
      encoding += ", segment " + std::to_string(job.segment->index) + "/" + std::to_string(job.segment->count) +
                  ": frames " + std::to_string(first) + ".." + std::to_string(last) + " of " +
                  std::to_string(job.first) + ".." + std::to_string(job.last);
    }
    if (written.size() == 1) {
      // One file holds every frame the sink was given; a sequence's count is its files.
      const long long frames = static_cast<long long>(totals.frames);
      std::printf("wrote %s (%lld frame%s, %dx%d, %s)\n", written[0].c_str(), frames, frames == 1 ? "" : "s",
                  g.stride, g.rows, encoding.c_str());
    } else {
      std::printf("wrote %s ... %s (%zu frames, %dx%d, %s)\n", written.front().c_str(), written.back().c_str(),
                  written.size(), g.stride, g.rows, encoding.c_str());
    }
    std::printf("%s\n", describeTotals(totals, pipeline.jobs, renderer.pluginName()).c_str());
  }
  return 0;
}

int renderWorkerCommand(const Options& options) {
  if (options.positional.size() != 1) throw HostError("render-worker needs one plug-in name");
  return workerMain(setupFrom(options, options.positional[0]));
}

int demoCommand(const Options& options) {
  const std::filesystem::path directory = options.output.empty() ? "out/demo" : options.output;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) throw HostError("cannot make the demo directory " + directory.string() + ": " + error.message());
  const auto files = pluginFiles(options.plugins);
  if (files.empty()) throw HostError("no plug-ins in " + options.plugins.string() + " (build them first)");
  const media::FrameRate fps = fpsFrom(options);
  int failures = 0;
  std::vector<std::string> written;
  for (const auto& file : files) {
    const std::string name = file.stem().string();
    try {
      Options own = options;
      own.input0 = options.input0.empty() ? "card:bars" : options.input0;
      own.input1 = options.input1.empty() ? "card:rings" : options.input1;
      own.size = options.size.empty() ? "640x360" : options.size;
      RenderSetup setup = setupFrom(own, name);
      {
        // Fog reads input 0 only; say nothing about the input 1 the demo offers every plug-in.
        auto probe = Plugin::load(file);
        if (probe->model().singleInput()) setup.input1.clear();
      }
      FrameRenderer renderer(setup);
      const Geometry& g = renderer.geometry();
      const int32_t gifWidth = std::max(2, g.stride / 2), gifHeight = std::max(2, g.rows / 2);
      auto video = media::createSink((directory / (name + ".mp4")).string(), {g.stride, g.rows, fps});
      auto gif = media::createSink((directory / (name + ".gif")).string(), {gifWidth, gifHeight, fps});
      std::map<int64_t, std::string> marks;
      for (int percent : {0, 25, 50, 75, 100}) {
        marks[static_cast<int64_t>(std::llround(static_cast<double>(setup.length) * percent / 100.0))] =
            std::to_string(percent) + "%";
      }
      std::vector<SheetFrame> sheetFrames;
      Progress progress(name, setup.length + 1, options.quiet);
      for (int64_t frame = 0; frame <= setup.length; ++frame) {
        if (interrupted()) throw Interrupted("interrupted: the demo stopped at " + name);
        media::RgbImage rgb = renderer.render(frame);
        video->add(rgb, frame);
        gif->add(media::scaleRgb(rgb, gifWidth, gifHeight), frame);
        if (auto mark = marks.find(frame); mark != marks.end()) {
          sheetFrames.push_back({rgb, mark->second});
        }
        progress.advance();
      }
      progress.done();
      const auto summary = pluginSummary(name);
      const media::RgbImage sheet =
          contactSheet(name, summary ? std::string(*summary) : "", sheetFrames, 256);
      auto sheetSink = media::createSink((directory / (name + "_sheet.png")).string(), {sheet.width, sheet.height, fps});
      sheetSink->add(sheet, 0);
      for (auto* sink : {video.get(), gif.get(), sheetSink.get()}) {
        sink->stopWhen(interrupted);
        for (const auto& out : sink->finish()) written.push_back(out);
      }
    } catch (const Interrupted&) {
      throw;
    } catch (const media::OutputStopped&) {
      throw Interrupted("interrupted: the demo stopped at " + name);
    } catch (const HostError& failure) {
      std::fprintf(stderr, "ophost: %s: %s\n", name.c_str(), failure.what());
      ++failures;
    }
  }
  std::printf("Demo written to %s:\n", directory.string().c_str());
  for (const auto& out : written) std::printf("  %s\n", out.c_str());
  if (failures) std::printf("%d plug-in%s failed (see above)\n", failures, failures == 1 ? "" : "s");
  return failures == 0 ? 0 : 1;
}

}  // namespace ophost::cli
