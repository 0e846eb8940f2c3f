#include "join_command.h"

#include <cstdio>

#include "host_error.h"
#include "input_files.h"
#include "interrupt.h"
#include "join_renderer.h"
#include "media_output.h"
#include "progress.h"
#include "render_pipeline.h"

namespace ophost::cli {

using namespace ophost::render;

namespace {

void warn(const Warning& warning) { std::fprintf(stderr, "ophost: warning: %s\n", warning.text.c_str()); }

JoinSetup setupFrom(const Options& options) {
  JoinSetup setup;
  setup.pluginDirectory = options.plugins;
  setup.textureDirectory = options.textures;
  setup.clips = options.positional;
  for (const std::string& with : options.with) setup.cuts.push_back(parseCutEffect(with));
  if (!options.duration.empty()) setup.duration = options.duration;
  if (!options.stillDuration.empty()) setup.stillDuration = options.stillDuration;
  setup.easing = options.easing;
  setup.fit = parseFit(options.fit);
  if (!options.fps.empty()) setup.fps = media::parseFrameRate(options.fps, "--fps");
  setup.checks = options.checks;
  setup.warn = warn;
  return setup;
}

std::string secondsText(int64_t frames, media::FrameRate rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(frames) * rate.den / rate.num);
  return text;
}

// What was written, and what each clip and cut became.
void printSummary(const JoinRenderer& join, const std::vector<std::string>& written, const std::string& encoding) {
  const Timeline& timeline = join.timeline();
  const Geometry& g = join.geometry();
  const media::FrameRate rate = join.rate();
  const auto total = static_cast<long long>(timeline.totalFrames());
  const std::string where = written.size() == 1 ? written[0] : written.front() + " ... " + written.back();
  std::printf("wrote %s: %s, %lld frames at %s fps, %dx%d%s\n", where.c_str(),
              secondsText(timeline.totalFrames(), rate).c_str(), total, rate.describe().c_str(), g.stride, g.rows,
              encoding.c_str());
  for (size_t k = 0; k < join.clips().size(); ++k) {
    const JoinClip& clip = join.clips()[k];
    const ClipSpan& span = timeline.clips()[k];
    std::string own = clip.still ? "a still" : std::to_string(clip.ownFrames) + " frames at " +
                                                   clip.ownRate.value_or(media::FrameRate()).describe() + " fps";
    const media::Size size = clip.source->naturalSize();
    std::string fitted;
    if (size.width != g.width || size.height != g.height) {
      fitted = ", " + std::to_string(size.width) + "x" + std::to_string(size.height) +
               (clip.area == g ? " stretched" : " letterboxed into " + std::to_string(clip.area.width) + "x" +
                                                    std::to_string(clip.area.height));
    }
    std::printf("  clip %zu  %s  from %s, %s (%s%s)\n", k + 1, clip.name.c_str(), clockText(span.start, rate).c_str(),
                secondsText(span.frames, rate).c_str(), own.c_str(), fitted.c_str());
    if (k < join.cuts().size()) {
      const JoinCut& cut = join.cuts()[k];
      std::printf("  cut %zu   %s over %lld frames (%s) from %s, easing %s%s\n", k + 1, cut.effect.c_str(),
                  static_cast<long long>(timeline.cuts()[k]), secondsText(timeline.cuts()[k], rate).c_str(),
                  clockText(timeline.cutStart(k), rate).c_str(), cut.setup.easing.name().c_str(),
                  cut.audioCurve.empty() ? "" : (", sound " + cut.audioCurve).c_str());
    }
  }
}

}  // namespace

int joinCommand(const Options& options) {
  if (options.positional.size() < 2) {
    throw HostError("join needs two clips or more: ophost join A B [C ...] --with EFFECT --output OUT");
  }
  if (options.output.empty()) throw HostError("join needs --output FILE (.mp4, .mov, .mkv, name%04d.png, .gif)");
  const media::OutputKind kind = media::outputKindFor(options.output);
  if (!media::isAnimated(kind)) {
    throw HostError(options.output + " holds one frame: write the join to .mp4, .mov, .mkv, name%04d.png or .gif");
  }
  JoinRenderer join(setupFrom(options));
  const int64_t total = join.timeline().totalFrames();

  InputFiles inputs;
  for (size_t k = 0; k < options.positional.size(); ++k) inputs.add("clip " + std::to_string(k + 1), options.positional[k]);
  inputs.checkOutput(options.output, kind, 0, total - 1);

  const Geometry& g = join.geometry();
  const auto quality = static_cast<int32_t>(wholeOption(options, "--crf", media::kDefaultQuality));
  auto sink = media::createSink(options.output, {g.stride, g.rows, join.rate(), quality});
  sink->stopWhen(interrupted);
  Progress progress("join", total, options.quiet);
  PipelineOptions pipeline;
  pipeline.first = 0;
  pipeline.last = total - 1;
  pipeline.warn = warn;
  pipeline.advanced = [&progress] { progress.advance(); };
  std::vector<std::string> written;
  try {
    renderFrames(join, *sink, pipeline);
    progress.done();
    written = sink->finish();
  } catch (const Interrupted&) {
    throw Interrupted("interrupted: the join into " + options.output + " stopped and nothing was written");
  } catch (const media::OutputStopped&) {
    throw Interrupted("interrupted: the join into " + options.output + " stopped and nothing was written");
  }
  if (!options.quiet) printSummary(join, written, "");
  return 0;
}

}  // namespace ophost::cli
