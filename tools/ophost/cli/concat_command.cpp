#include "concat_command.h"

#include <cstdio>

#include "host_error.h"
#include "input_files.h"
#include "interrupt.h"
#include "media_output.h"
#include "stream_concat.h"

namespace ophost::cli {

using render::interrupted;
using render::Interrupted;

int concatCommand(const render::Options& options) {
  if (options.positional.empty()) {
    throw HostError("concat needs the segments, in order: ophost concat SEG1 SEG2 [...] --output OUT [--audio FILE]");
  }
  if (options.output.empty()) throw HostError("concat needs --output FILE (.mp4, .m4v, .mov, .mkv or .webm)");
  const media::OutputKind kind = media::outputKindFor(options.output);
  if (kind != media::OutputKind::Video) {
    throw HostError("cannot write " + options.output + ": segments are joined into .mp4, .m4v, .mov, .mkv or .webm" +
                    (kind == media::OutputKind::PngSequence ? " (the segments of a sequence are its files already)" : ""));
  }
  InputFiles inputs;
  for (const std::string& segment : options.positional) inputs.addFile(segment, "segment " + segment);
  if (!options.audio.empty()) inputs.addFile(options.audio, "--audio " + options.audio);
  inputs.checkOutput(options.output, kind, 0, 0);

  media::ConcatResult joined;
  try {
    joined = media::concatSegments(options.positional, options.output, options.audio, interrupted);
  } catch (const media::OutputStopped&) {
    throw Interrupted("interrupted: the concat into " + options.output + " stopped and nothing was written");
  }
  if (!options.quiet) {
    const auto frames = static_cast<long long>(joined.frames);
    std::printf("wrote %s: %zu segment%s, %lld frames at %s fps (%.2f s), %dx%d, %s copied, %s\n",
                options.output.c_str(), options.positional.size(), options.positional.size() == 1 ? "" : "s", frames,
                joined.rate.describe().c_str(), static_cast<double>(frames) * joined.rate.den / joined.rate.num,
                joined.width, joined.height, joined.codec.c_str(),
                joined.sound ? ("with the sound of " + options.audio).c_str() : "no sound");
  }
  return 0;
}

}  // namespace ophost::cli
