// ophost: the command-line host. Lists, describes and renders the operator plug-ins on built-in
// test pictures, stills and video, and renders the demo of all of them.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>

#include "cluster_command.h"
#include "commands.h"
#include "concat_command.h"
#include "host_error.h"
#include "interrupt.h"
#include "join_command.h"
#include "serve_command.h"

namespace {

std::filesystem::path programDirectory(const char* argv0) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(argv0, error);
  return self.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ophost::cli;
  using namespace ophost::render;
  try {
    const Options options = parseOptions(argc, argv, programDirectory(argv[0]));
    if (options.help || options.command.empty() || options.command == "help") {
      printUsage();
      return options.command.empty() && !options.help ? 2 : 0;
    }
    if (options.command == "list") return listCommand(options);
    if (options.command == "info") return infoCommand(options);
    if (options.command == "render") {
      installInterruptHandler();
      return renderCommand(options);
    }
    if (options.command == "join") {
      installInterruptHandler();
      return joinCommand(options);
    }
    if (options.command == "cluster") {
      installInterruptHandler();
      return clusterCommand(options);
    }
    if (options.command == "concat") {
      installInterruptHandler();
      return concatCommand(options);
    }
    if (options.command == "render-worker") return renderWorkerCommand(options);
    if (options.command == "demo") {
      installInterruptHandler();
      return demoCommand(options);
    }
    if (options.command == "serve") return serveCommand(options);
    throw ophost::HostError("unknown command \"" + options.command + "\" (list, info, render, join, concat, cluster, demo, serve; see ophost --help)");
  } catch (const Interrupted& stopped) {
    std::fprintf(stderr, "ophost: %s\n", stopped.what());
    return 130;
  } catch (const ophost::HostError& error) {
    std::fprintf(stderr, "ophost: %s\n", error.what());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ophost: %s\n", error.what());
    return 1;
  }
}
