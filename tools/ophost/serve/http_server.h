// A small HTTP/1.1 server made for a machine where any local program, and any web page the user
// visits, may be a hostile client:
// - every request has deadlines: for its head (the request line and headers, all of them), for
//   its body, and for the answer to be taken; a connection waiting for its next request is let
//   go after a while;
// - a body larger than its route takes is refused before any of it is read, and bodies come only
//   with a Content-Length (a chunked body is refused with 411, never buffered);
// - Range headers are not honoured: an answer is sent whole, once;
// - each connection has a thread of its own, so a slow client holds up nobody but itself, up to a
//   bound on connections open at once (more are answered 503 and closed);
// - the port is never shared: a second server on a port in use fails to bind;
// - a handler can ask whether its client is still there, and a long one stops when it is not.
// A screen looks at every request once its head has arrived, before its body is read.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ophost::serve {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: the path and the query
  std::string path;    // before '?'
  std::string query;   // after '?', as sent
  HttpHeaders headers;  // names in lower case, in the order sent
  std::string body;
  // A header's value by name in any case (the last one when it came more than once).
  std::optional<std::string> header(std::string_view name) const;
};

struct HttpAnswer {
  int status = 200;
  std::string type = "text/plain; charset=utf-8";
  std::string body;
  HttpHeaders headers;  // besides Content-Type, Content-Length and Connection
};

// Asked by a handler between the steps of long work: false once its client has closed the
// connection (or the server is stopping), so the work can stop there.
using ClientPresent = std::function<bool()>;

struct HttpLimits {
  size_t headBytes = 16 << 10;
  std::chrono::milliseconds headTime{10000};   // from a request's first byte to its last header
  std::chrono::milliseconds idleTime{5000};    // for a kept connection's next request to begin
  std::chrono::milliseconds bodyTime{10000};   // for a body, and one second more for each MiB
  std::chrono::milliseconds writeTime{10000};  // for an answer, and one second more for each MiB
  size_t connections = 256;                    // open at once
  size_t requestsPerConnection = 1000;
};

class HttpServer {
 public:
  using Handler = std::function<HttpAnswer(const HttpRequest&, const ClientPresent&)>;
  using Screen = std::function<std::optional<HttpAnswer>(const HttpRequest&)>;

  explicit HttpServer(HttpLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Before bind(): what answers `method` on `path` (matched exactly), and how many bytes of body
  // it takes (0: none).
  void route(const std::string& method, const std::string& path, Handler handler, size_t bodyLimit = 0);
  // Before bind(): an answer from the screen refuses the request with it.
  void screen(Screen screen);
  // Before bind(): headers added to every answer, the server's own refusals included.
  void commonHeaders(HttpHeaders headers);

  // Binds to host:port (port 0: any free one) and returns the port. Throws HostError, also when
  // another program listens on the port.
  int bind(const std::string& host, int port);
  // Serves until stop() is called (from any thread, at any time: a stop before run() makes it
  // return at once). Returns once every connection is closed; handlers under way are asked to
  // end through ClientPresent.
  void run();
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The reason phrase of a status code ("Not Found").
const char* httpReason(int status);

}  // namespace ophost::serve
