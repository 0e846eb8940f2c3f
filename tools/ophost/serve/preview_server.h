// The HTTP side of `ophost serve`: the page and its files, and the service's answers under
// /api/, on one loopback address. It answers only what the page itself asks:
// - a request whose Host is not the address the server printed is refused (a foreign name made
//   to resolve to 127.0.0.1 reaches the port, but not the service);
// - a request sent by a page of another origin is refused: by its Origin, by its Sec-Fetch-Site,
//   and because every request under /api/ must carry the X-Ophost-Request header, which no other
//   page can add without a preflight the server never grants;
// - every answer forbids framing and type sniffing.
// What goes wrong in a request is answered with an HTTP error and a one-line message.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "http_server.h"
#include "preview_service.h"

namespace ophost::serve {

// The header every request under /api/ carries.
inline constexpr const char* kApiRequestHeader = "X-Ophost-Request";

class PreviewServer {
 public:
  // `note` hears of every request refused for coming from elsewhere (for the server's log).
  explicit PreviewServer(PreviewService& service, std::function<void(const std::string&)> note = {},
                         HttpLimits limits = {});
  ~PreviewServer();
  PreviewServer(const PreviewServer&) = delete;
  PreviewServer& operator=(const PreviewServer&) = delete;

  // As HttpServer's: bind (port 0: any free one; returns the port), run until stopped, stop.
  int bind(const std::string& host, int port);
  void run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ophost::serve
