// `ophost serve [--port N]`: a live preview of the plug-ins in the browser, on 127.0.0.1 only.
#pragma once

#include "commands.h"

namespace ophost::cli {

// Serves until interrupted (Ctrl-C, SIGTERM or SIGHUP), then removes its uploads and returns 0.
// --port 0 takes any free port; the address is printed either way.
int serveCommand(const Options& options);

}  // namespace ophost::cli
