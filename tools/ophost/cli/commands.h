// The ophost commands: list, info, render and demo.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ophost::cli {

struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::filesystem::path plugins;
  std::filesystem::path textures;
  std::string input0, input1, output;
  std::vector<std::string> settings;
  std::string length, position, frames, size, area, easing, fps;
  std::string port;  // serve
  std::string jobs;  // render: worker processes
  bool quiet = false;
  bool checks = false;  // render, demo: the runtime's full checks
  bool help = false;
};

// Reads the command line (argv[1..]); throws HostError for an unknown option or a missing value.
Options parseOptions(int argc, char** argv, const std::filesystem::path& programDirectory);

int listCommand(const Options& options);
int infoCommand(const Options& options);
int renderCommand(const Options& options);
int demoCommand(const Options& options);
// The worker mode of `render --jobs N` (ophost render-worker NAME ...): frames on stdin, pictures
// on stdout.
int renderWorkerCommand(const Options& options);
void printUsage();

}  // namespace ophost::cli
