#include "job_shape.h"

#include "commands.h"
#include "host_error.h"
#include "join_command.h"

namespace ophost::cli {

JobShape jobShape(const render::Options& options) {
  if (options.command == "render") return renderJobShape(options);
  if (options.command == "join") return joinJobShape(options);
  throw HostError("only render and join command lines make a job of frames, not \"" + options.command + "\"");
}

}  // namespace ophost::cli
