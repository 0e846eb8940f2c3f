#include "job_shape.h"

#include "commands.h"
#include "host_error.h"
#include "join_command.h"
#include "media_output.h"

namespace ophost::cli {

JobShape jobShape(const render::Options& options) {
  if (options.command != "render" && options.command != "join") {
    throw HostError("only render and join command lines make a job of frames, not \"" + options.command + "\"");
  }
  const JobShape shape = options.command == "render" ? renderJobShape(options) : joinJobShape(options);
  // What the command checks as it creates the output, before its first frame.
  media::checkOutputDirectory(options.output);
  return shape;
}

}  // namespace ophost::cli
