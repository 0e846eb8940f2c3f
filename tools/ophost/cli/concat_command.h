// ophost concat SEGMENT... --output OUT [--audio FILE]: the segments of a job rendered apart
// (render or join --segment K/N) joined into one video by stream copy, after checking that they
// fit one after another; with --audio, the sound of FILE (join --sound-only) copied in beside.
#pragma once

#include "command_line.h"

namespace ophost::cli {

int concatCommand(const render::Options& options);

}  // namespace ophost::cli
