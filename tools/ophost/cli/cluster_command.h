// ophost cluster render|join ... --slurm: a render or join split into segments that the tasks of
// a Slurm job array render on the cluster's nodes, joined by a job that waits for them all. The
// whole command is checked here first; nothing is submitted for a command that would fail.
#pragma once

#include "command_line.h"

namespace ophost::cli {

int clusterCommand(const render::Options& options);

}  // namespace ophost::cli
