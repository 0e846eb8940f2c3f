// What a render or join command line would write, learnt without rendering: how many frames its
// whole job has and the rate they are shown at, for cutting the job into segments (segment.h)
// to be rendered apart and joined with `ophost concat`.
#pragma once

#include <cstdint>

#include "command_line.h"
#include "frame_rate.h"

namespace ophost::cli {

struct JobShape {
  int64_t frames = 0;   // the whole job's frames, as without --segment
  media::FrameRate rate;  // the output's rate
};

// The shape of the job `options` (a `render` or `join` command line) describe, after checking the
// whole command as the command itself does before it renders: its plug-ins, inputs, output and
// options (a --segment too, against the job's length). Throws HostError with one line for any
// fault, and for another command.
JobShape jobShape(const render::Options& options);

}  // namespace ophost::cli
