// The ophost commands: list, info, render (and its workers' render-worker) and demo; serve is in
// serve_command.h.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "command_line.h"
#include "job_shape.h"

namespace ophost::cli {

using render::Options;

// Reads the command line (argv[1..]) by the option table (command_line.h), with the plug-ins and
// textures from $OPHOST_PLUGINS and $OPHOST_TEXTURES, else beside the program; throws HostError
// for a line the table refuses.
Options parseOptions(int argc, char** argv, const std::filesystem::path& programDirectory);

int listCommand(const Options& options);
int infoCommand(const Options& options);
int renderCommand(const Options& options);
// The job a render command line describes (job_shape.h), checked as renderCommand checks it.
JobShape renderJobShape(const Options& options);
int demoCommand(const Options& options);
// The worker mode of `render --jobs N` (ophost render-worker NAME ...): frames on stdin, pictures
// on stdout.
int renderWorkerCommand(const Options& options);
void printUsage();

}  // namespace ophost::cli
