#include "serve_command.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "host_error.h"
#include "command_line.h"
#include "interrupt.h"
#include "preview_server.h"
#include "preview_service.h"
#include "settings.h"

namespace ophost::cli {

using namespace ophost::render;
using namespace ophost::serve;

namespace {

constexpr const char* kHost = "127.0.0.1";

// A directory of our own under the system's temporary directory, removed with all it holds.
class WorkDirectory {
 public:
  WorkDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ophost-serve-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw HostError("cannot make a temporary directory for uploads");
    path_ = pattern;
  }
  ~WorkDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Interrupts, termination and hang-ups, blocked from the start: before the temporary directory
// is made, so no signal can end the program between making it and removing it, and before any
// other thread exists, so every thread inherits the mask. They wait for StopOnSignals.
class BlockedSignals {
 public:
  BlockedSignals() {
    sigemptyset(&signals_);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
  }
  ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  BlockedSignals(const BlockedSignals&) = delete;
  BlockedSignals& operator=(const BlockedSignals&) = delete;
  const sigset_t& signals() const { return signals_; }

 private:
  sigset_t signals_{}, previous_{};
};

// The blocked signals are taken by one thread that stops the server (at once, or when it starts
// if it has not yet) and tells renders under way to stop, so the program returns from serving
// normally and soon, and everything it made is removed.
class StopOnSignals {
 public:
  StopOnSignals(const BlockedSignals& blocked, PreviewServer& server) : signals_(blocked.signals()) {
    waiter_ = std::thread([this, &server] {
      int signal = 0;
      sigwait(&signals_, &signal);
      if (!ending_) {
        std::fprintf(stderr, "ophost serve: stopping\n");
        interruptFlag().store(true);
        server.stop();
      }
    });
  }
  ~StopOnSignals() {
    ending_ = true;
    pthread_kill(waiter_.native_handle(), SIGTERM);  // wakes the waiter if no signal came
    waiter_.join();
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  sigset_t signals_;
  std::atomic<bool> ending_{false};
  std::thread waiter_;
};

}  // namespace

int serveCommand(const Options& options) {
  if (!options.positional.empty()) throw HostError("serve takes no names: ophost serve [--port N]");
  const int port = static_cast<int>(wholeOption(options, "--port", kDefaultPort));
  signal(SIGPIPE, SIG_IGN);  // a browser that goes away mid-answer is no reason to stop

  const BlockedSignals blocked;
  WorkDirectory work;
  ServiceOptions serviceOptions;
  serviceOptions.plugins = options.plugins;
  serviceOptions.textures = options.textures;
  serviceOptions.workDirectory = work.path();
  PreviewService service(serviceOptions);
  PreviewServer server(service, [](const std::string& note) {
    std::fprintf(stderr, "ophost serve: %s\n", note.c_str());
  });
  StopOnSignals signals(blocked, server);
  const int bound = server.bind(kHost, port);
  std::printf("ophost serve: open http://%s:%d/ in a browser (Ctrl-C stops it)\n", kHost, bound);
  std::printf("  plug-ins from %s, uploads kept in %s until then\n", options.plugins.string().c_str(),
              work.path().string().c_str());
  std::fflush(stdout);
  server.run();
  return 0;
}

}  // namespace ophost::cli
