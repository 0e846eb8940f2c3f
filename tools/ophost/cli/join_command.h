// ophost join CLIP1 CLIP2 [CLIP3 ...] --with EFFECT[:P=V,...] --duration D --output OUT: the
// clips played one after another, each cut a transition, with their sound cross-faded.
#pragma once

#include "command_line.h"
#include "job_shape.h"

namespace ophost::cli {

int joinCommand(const render::Options& options);
// The job a join command line describes (job_shape.h), checked as joinCommand checks it.
JobShape joinJobShape(const render::Options& options);

}  // namespace ophost::cli
