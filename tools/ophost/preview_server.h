// The HTTP side of `ophost serve`: the page and its files, and the service's answers under
// /api/. Listens on one address; requests are served on a pool of threads, and whatever goes
// wrong in one is answered with an HTTP error and a one-line message.
#pragma once

#include <memory>
#include <string>

#include "preview_service.h"

namespace ophost::cli {

class PreviewServer {
 public:
  explicit PreviewServer(PreviewService& service);
  ~PreviewServer();
  PreviewServer(const PreviewServer&) = delete;
  PreviewServer& operator=(const PreviewServer&) = delete;

  // Binds to host:port (port 0: any free one) and returns the port. Throws HostError.
  int bind(const std::string& host, int port);
  // Serves until stop() is called (from any thread, at any time: a stop before run() makes it
  // return at once).
  void run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ophost::cli
