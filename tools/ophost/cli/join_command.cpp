#include "join_command.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <tuple>

#include "contact_sheet.h"
#include "host_error.h"
#include "input_files.h"
#include "interrupt.h"
#include "join_audio.h"
#include "join_renderer.h"
#include "media_output.h"
#include "output_choice.h"
#include "progress.h"
#include "render_pipeline.h"
#include "segment.h"
#include "temporary_file.h"

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
  setup.textures = options.texture;
  if (options.noTonemap) setup.source.hdr = media::HighDynamicRange::Refuse;
  setup.source.deinterlace = options.deinterlace;
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
void printSummary(const JoinRenderer& join, const std::vector<std::string>& written, bool withSound,
                  const std::string& encoding) {
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
               (clip.area == g ? " scaled to " : " letterboxed into ") + std::to_string(clip.area.width) + "x" +
               std::to_string(clip.area.height);
    }
    std::printf("  clip %zu  %s  from %s, %s (%s%s)\n", k + 1, clip.name.c_str(), clockText(span.start, rate).c_str(),
                secondsText(span.frames, rate).c_str(), own.c_str(), fitted.c_str());
    if (k < join.cuts().size()) {
      const JoinCut& cut = join.cuts()[k];
      std::printf("  cut %zu   %s over %lld frames (%s) from %s, easing %s%s\n", k + 1, cut.effect.c_str(),
                  static_cast<long long>(timeline.cuts()[k]), secondsText(timeline.cuts()[k], rate).c_str(),
                  clockText(timeline.cutStart(k), rate).c_str(), cut.setup.easing.name().c_str(),
                  withSound ? (", sound cross-faded " + (cut.audioCurve.empty() ? std::string("tri") : cut.audioCurve)).c_str() : "");
    }
  }
}

// The frames a join's contact sheet shows, with their labels: the middle of each clip where it
// plays alone, and each cut at a quarter, half and three quarters of its length.
std::map<int64_t, std::string> sheetFrames(const JoinRenderer& join) {
  const Timeline& timeline = join.timeline();
  std::map<int64_t, std::string> frames;
  for (size_t k = 0; k < timeline.clips().size(); ++k) {
    const ClipSpan& span = timeline.clips()[k];
    const int64_t from = span.start + (k > 0 ? timeline.cuts()[k - 1] : 0);
    const int64_t to = span.start + span.frames - (k < timeline.cuts().size() ? timeline.cuts()[k] : 0);
    if (to > from) frames[(from + to - 1) / 2] = "clip " + std::to_string(k + 1);
    if (k < timeline.cuts().size()) {
      for (const int percent : {25, 50, 75}) {
        const int64_t length = timeline.cuts()[k];
        const int64_t at = std::min<int64_t>(length - 1, std::llround(static_cast<double>(length) * percent / 100.0));
        frames.emplace(timeline.cutStart(k) + at, join.cuts()[k].effect + " " + std::to_string(percent) + "%");
      }
    }
  }
  return frames;
}

// A sink that hands every frame on and keeps the contact sheet's frames as they pass.
class SheetCapture final : public media::FrameSink {
 public:
  SheetCapture(media::FrameSink& inner, std::map<int64_t, std::string> wanted)
      : inner_(inner), wanted_(std::move(wanted)) {}
  void add(const media::RgbImage& frame, int64_t number) override {
    keep(frame, number);
    inner_.add(frame, number);
  }
  void add(const Picture& frame, int64_t number) override {
    if (wanted_.count(number)) keep(media::pictureToRgb(frame), number);
    inner_.add(frame, number);
  }
  std::vector<std::string> finish() override { return inner_.finish(); }
  const std::vector<SheetFrame>& kept() const { return kept_; }

 private:
  void keep(const media::RgbImage& frame, int64_t number) {
    if (const auto found = wanted_.find(number); found != wanted_.end()) kept_.push_back({frame, found->second});
  }
  media::FrameSink& inner_;
  std::map<int64_t, std::string> wanted_;
  std::vector<SheetFrame> kept_;
};

// The join as its sound is concerned: each clip's span and each cut's overlap and curve.
std::vector<media::JoinAudioClip> audioClips(const JoinRenderer& join) {
  std::vector<media::JoinAudioClip> clips;
  for (size_t k = 0; k < join.clips().size(); ++k) {
    const JoinClip& clip = join.clips()[k];
    clips.push_back({clip.hasOwnFile && !clip.still ? clip.name : std::string(), join.timeline().clips()[k].frames});
  }
  return clips;
}

std::vector<media::JoinAudioCut> audioCuts(const JoinRenderer& join) {
  std::vector<media::JoinAudioCut> cuts;
  for (size_t k = 0; k < join.cuts().size(); ++k) {
    media::JoinAudioCut cut;
    cut.frames = join.timeline().cuts()[k];
    if (!join.cuts()[k].audioCurve.empty()) cut.curve = join.cuts()[k].audioCurve;
    cuts.push_back(cut);
  }
  return cuts;
}

}  // namespace

namespace {

// A join checked and set up, before anything is written: every clip and cut open, the timeline
// made, and the frames of this command's segment.
struct JoinJob {
  media::OutputKind kind = media::OutputKind::Video;
  std::unique_ptr<JoinRenderer> join;
  std::vector<media::JoinAudioClip> soundClips;
  bool sound = false;  // some clip has sound, and it is wanted
  std::optional<SegmentChoice> segment;
  int64_t first = 0, end = 0;  // the frames [first, end) this command writes
};

JoinJob prepareJoin(const Options& options) {
  if (options.positional.size() < 2) {
    throw HostError("join needs two clips or more: ophost join A B [C ...] --with EFFECT --output OUT");
  }
  if (options.output.empty()) throw HostError("join needs --output FILE (.mp4, .mov, .mkv, name%04d.png, .gif)");
  JoinJob job;
  job.kind = media::outputKindFor(options.output);
  if (!media::isAnimated(job.kind)) {
    throw HostError(options.output + " holds one frame: write the join to .mp4, .mov, .mkv, name%04d.png or .gif");
  }
  if (!options.segment.empty()) {
    job.segment = parseSegmentFor(options.segment, options.output);
    if (options.soundOnly) throw HostError("give --segment or --sound-only, not both (the sound is written whole)");
    if (!options.sheet.empty()) throw HostError("give --sheet to the whole join, not to a --segment of it");
  }
  if (options.soundOnly) {
    if (options.noAudio) throw HostError("give --sound-only or --no-audio, not both");
    if (job.kind != media::OutputKind::Video) {
      throw HostError("--sound-only: " + options.output + " holds no sound: write it to .mp4, .m4v, .mov, .mkv or .webm");
    }
    if (!options.sheet.empty()) throw HostError("--sound-only writes no pictures: give --sheet to a join of its video");
  }
  // The codec and its settings are checked before any clip is opened.
  outputOptionsFrom(options, 2, 2, media::FrameRate(kDefaultFps), {});
  job.join = std::make_unique<JoinRenderer>(setupFrom(options));
  const JoinRenderer& join = *job.join;
  const int64_t total = join.timeline().totalFrames();
  job.soundClips = audioClips(join);
  job.sound = !options.noAudio && media::anyClipHasSound(job.soundClips);
  if (options.soundOnly && !job.sound) {
    throw HostError("--sound-only: none of the clips has sound");
  }

  InputFiles inputs;
  for (size_t k = 0; k < options.positional.size(); ++k) inputs.add("clip " + std::to_string(k + 1), options.positional[k]);
  for (const CustomTexture& texture : join.textures()) inputs.addFile(texture.file, "--texture " + texture.entry);
  inputs.checkOutput(options.output, job.kind, 0, total - 1);
  if (!options.sheet.empty()) {
    if (media::outputKindFor(options.sheet) != media::OutputKind::Png) {
      throw HostError("--sheet " + options.sheet + ": the contact sheet is one picture: name a .png");
    }
    inputs.checkOutput(options.sheet, media::OutputKind::Png, 0, 0);
    if (std::filesystem::absolute(options.sheet).lexically_normal() ==
        std::filesystem::absolute(options.output).lexically_normal()) {
      throw HostError("--sheet " + options.sheet + " is the output itself: give the sheet a name of its own");
    }
  }
  job.end = total;
  if (job.segment) std::tie(job.first, job.end) = segmentFrames(total, join.rate(), *job.segment);
  return job;
}

// --sound-only: the join's sound alone, as the join would mux it into the output.
int writeSoundOnly(const Options& options, const JoinJob& job) {
  const JoinRenderer& join = *job.join;
  const media::OutputOptions output = outputOptionsFrom(options, 2, 2, join.rate(), {});
  try {
    media::writeJoinSound(job.soundClips, audioCuts(join), join.rate(), media::outputCodec(options.output, output),
                          options.output, interrupted);
  } catch (const media::OutputStopped&) {
    throw Interrupted("interrupted: the sound of the join into " + options.output + " stopped and nothing was written");
  }
  if (!options.quiet) {
    const int64_t total = join.timeline().totalFrames();
    std::printf("wrote %s: the join's sound alone, %s (%lld frames at %s fps), %zu clips, %zu cuts\n",
                options.output.c_str(), secondsText(total, join.rate()).c_str(), static_cast<long long>(total),
                join.rate().describe().c_str(), join.clips().size(), join.cuts().size());
  }
  return 0;
}

}  // namespace

JobShape joinJobShape(const Options& options) {
  const JoinJob job = prepareJoin(options);
  return {job.join->timeline().totalFrames(), job.join->rate()};
}

int joinCommand(const Options& options) {
  JoinJob job = prepareJoin(options);
  if (options.soundOnly) return writeSoundOnly(options, job);
  JoinRenderer& join = *job.join;
  const media::OutputKind kind = job.kind;
  const int64_t total = join.timeline().totalFrames();
  const std::vector<media::JoinAudioClip>& soundClips = job.soundClips;
  const bool sound = job.sound;
  // A segment is video alone: the sound is written whole, apart (--sound-only).
  const bool withSound = sound && kind == media::OutputKind::Video && !job.segment;
  if (sound && !withSound && !job.segment) {
    warn({"no sound", options.output + " holds no sound: the clips' sound is left out"});
  }

  const Geometry& g = join.geometry();
  // With sound, the video is written first on its own beside the output, then copied into the
  // output with the sound; the video file goes when this does.
  const std::string videoFile = withSound ? media::temporaryNameFor(options.output).string() + "." +
                                                std::filesystem::path(options.output).extension().string().substr(1)
                                          : options.output;
  const media::TemporaryFile videoOnly(withSound ? videoFile : std::string());
  InputTraits traits;
  for (const JoinClip& clip : join.clips()) traits.alpha = traits.alpha || clip.source->hasAlpha();
  traits.bt709 = join.clips().front().source->isBt709();
  traits.pixelAspect = join.clips().front().source->pixelAspect();
  traits.fieldOrder = join.clips().front().source->fieldOrder();
  media::OutputOptions output = outputOptionsFrom(options, g.stride, g.rows, join.rate(), traits);
  if (job.segment) output.segmentStart = job.first;
  auto sink = media::createSink(videoFile, output);
  sink->stopWhen(interrupted);
  SheetCapture capture(*sink, options.sheet.empty() ? std::map<int64_t, std::string>() : sheetFrames(join));
  Progress progress("join", job.end - job.first, options.quiet);
  PipelineOptions pipeline;
  pipeline.first = job.first;
  pipeline.last = job.end - 1;
  pipeline.warn = warn;
  pipeline.advanced = [&progress] { progress.advance(); };
  std::vector<std::string> written, sheetWritten;
  try {
    renderFrames(join, capture, pipeline);
    progress.done();
    std::unique_ptr<media::FrameSink> sheetSink;
    media::RgbImage sheet;
    if (!options.sheet.empty()) {
      const std::string subtitle = std::to_string(join.clips().size()) + " clips, " +
                                   std::to_string(join.cuts().size()) + " cuts, " +
                                   secondsText(total, join.rate());
      sheet = contactSheet("join", subtitle, capture.kept(), 160);
      sheetSink = media::createSink(options.sheet, {sheet.width, sheet.height, join.rate()});
      sheetSink->add(sheet, 0);
    }
    written = sink->finish();
    if (withSound) {
      media::muxJoinAudio(videoFile, soundClips, audioCuts(join), join.rate(), options.output, interrupted);
      written = {options.output};
    }
    if (sheetSink) sheetWritten = sheetSink->finish();
  } catch (const Interrupted&) {
    throw Interrupted("interrupted: the join into " + options.output + " stopped and nothing was written");
  } catch (const media::OutputStopped&) {
    throw Interrupted("interrupted: the join into " + options.output + " stopped and nothing was written");
  }
  if (!options.quiet && job.segment) {
    const std::string where = written.size() == 1 ? written[0] : written.front() + " ... " + written.back();
    std::printf("wrote %s: segment %lld/%lld of the join, frames %lld..%lld of its %lld at %s fps, %dx%d, %s, no sound\n",
                where.c_str(), static_cast<long long>(job.segment->index), static_cast<long long>(job.segment->count),
                static_cast<long long>(job.first), static_cast<long long>(job.end - 1), static_cast<long long>(total),
                join.rate().describe().c_str(), g.stride, g.rows, describeEncoding(options.output, output).c_str());
  } else if (!options.quiet) {
    printSummary(join, written, withSound,
                 ", " + describeEncoding(options.output, output) + (withSound ? ", with sound" : ", no sound"));
    for (const std::string& file : sheetWritten) std::printf("wrote the contact sheet %s\n", file.c_str());
  }
  return 0;
}

}  // namespace ophost::cli
