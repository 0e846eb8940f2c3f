#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "host_error.h"
#include "param_vocabulary.h"

namespace ophost::serve {

namespace {

using Clock = std::chrono::steady_clock;

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A deadline grown by a second for every MiB to be moved.
Clock::time_point deadlineFor(std::chrono::milliseconds base, size_t bytes) {
  return Clock::now() + base + std::chrono::seconds(bytes >> 20);
}

// Waits until `fd` is ready for `events` or the deadline passes; false then (or on an error).
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd ready{fd, events, 0};
    const int got = poll(&ready, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (got > 0) return true;
    if (got < 0 && errno != EINTR) return false;
  }
}

// Sends all of `bytes` before the deadline; false when the client does not take them.
bool sendAll(int fd, std::string_view bytes, Clock::time_point deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t put = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put > 0) {
      sent += static_cast<size_t>(put);
    } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

enum class Read { Done, Closed, Late, TooLarge };

// One client connection: its socket and the bytes read from it that no request has used yet.
struct Connection {
  int fd = -1;
  std::string buffer;

  // Reads more into the buffer before the deadline.
  Read more(Clock::time_point deadline) {
    if (!waitFor(fd, POLLIN, deadline)) return Read::Late;
    char chunk[16384];
    for (;;) {
      const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
      if (got > 0) {
        buffer.append(chunk, static_cast<size_t>(got));
        return Read::Done;
      }
      if (got == 0) return Read::Closed;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return Read::Done;  // woken for nothing
      return Read::Closed;
    }
  }

  // The next request's head (up to and without its blank line), taken from the buffer.
  Read head(std::string& out, const HttpLimits& limits, bool first) {
    Clock::time_point deadline = Clock::now() + (first ? limits.headTime : limits.idleTime);
    bool started = !buffer.empty();
    if (started) deadline = Clock::now() + limits.headTime;
    for (;;) {
      const size_t end = buffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        if (end > limits.headBytes) return Read::TooLarge;
        out = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        return Read::Done;
      }
      if (buffer.size() > limits.headBytes) return Read::TooLarge;
      const Read read = more(deadline);
      if (read != Read::Done) return read;
      if (!started && !buffer.empty()) {
        started = true;
        deadline = Clock::now() + limits.headTime;  // the whole head from its first byte on
      }
    }
  }

  Read body(std::string& out, size_t length, const HttpLimits& limits) {
    const Clock::time_point deadline = deadlineFor(limits.bodyTime, length);
    while (buffer.size() < length) {
      const Read read = more(deadline);
      if (read != Read::Done) return read;
    }
    out = buffer.substr(0, length);
    buffer.erase(0, length);
    return Read::Done;
  }

  // Whether the client still has the connection open: it has not closed or reset it. Bytes it
  // sent ahead (a next request) do not count as leaving.
  bool present() const {
    pollfd ready{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&ready, 1, 0) <= 0) return true;
    if (ready.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return false;
    char probe;
    return recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
  }
};

// The request line and headers; false for anything that is not HTTP/1.x as it should be.
bool parseHead(const std::string& head, HttpRequest& request, bool& http10) {
  size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const size_t space1 = line.find(' ');
  const size_t space2 = line.find(' ', space1 + 1);
  if (space1 == std::string::npos || space2 == std::string::npos || line.find(' ', space2 + 1) != std::string::npos) {
    return false;
  }
  request.method = line.substr(0, space1);
  request.target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::string version = line.substr(space2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
  http10 = version == "HTTP/1.0";
  if (request.method.empty() || request.target.empty() || request.target[0] != '/') return false;
  for (unsigned char c : request.method) {
    if (!std::isupper(c)) return false;
  }
  for (unsigned char c : request.target) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  const size_t mark = request.target.find('?');
  request.path = request.target.substr(0, mark);
  request.query = mark == std::string::npos ? "" : request.target.substr(mark + 1);
  while (lineEnd != std::string::npos) {
    const size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string field = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    const size_t colon = field.find(':');
    if (colon == std::string::npos || colon == 0 || field[0] == ' ' || field[0] == '\t') return false;
    std::string name = field.substr(0, colon);
    for (unsigned char c : name) {
      if (c <= 0x20 || c >= 0x7F) return false;
    }
    request.headers.emplace_back(lowerCase(std::move(name)), trimmed(field.substr(colon + 1)));
  }
  return true;
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
  const std::string wanted = lowerCase(std::string(name));
  std::optional<std::string> found;
  for (const auto& [key, value] : headers) {
    if (key == wanted) found = value;
  }
  return found;
}

const char* httpReason(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return status < 400 ? "OK" : status < 500 ? "Bad Request" : "Internal Server Error";
  }
}

struct HttpServer::Impl {
  struct Route {
    std::string method, path;
    Handler handler;
    size_t bodyLimit = 0;
  };

  HttpLimits limits;
  std::vector<Route> routes;
  Screen screen;
  HttpHeaders common;
  int listener = -1;
  int wake[2] = {-1, -1};  // stop() writes a byte, run() wakes

  std::mutex lock;
  std::condition_variable changed;
  bool stopping = false;
  std::set<int> open;                                // connections' sockets
  std::list<std::pair<std::thread::id, std::thread>> threads;
  std::vector<std::thread::id> finished;             // threads that are done, to be joined

  explicit Impl(HttpLimits l) : limits(l) {
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw HostError("cannot make the server's wake-up pipe");
  }
  ~Impl() {
    if (listener >= 0) close(listener);
    close(wake[0]);
    close(wake[1]);
  }

  bool stopAsked() {
    std::lock_guard<std::mutex> guard(lock);
    return stopping;
  }

  std::string render(const HttpAnswer& answer, bool keepOpen) const {
    std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " " + httpReason(answer.status) + "\r\n";
    out += "Content-Type: " + answer.type + "\r\n";
    out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    out += keepOpen ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    for (const auto& [name, value] : common) out += name + ": " + value + "\r\n";
    for (const auto& [name, value] : answer.headers) out += name + ": " + value + "\r\n";
    return out + "\r\n";
  }

  static HttpAnswer refusal(int status, const std::string& message) {
    HttpAnswer answer;
    answer.status = status;
    answer.body = message + "\n";
    return answer;
  }

  bool send(Connection& connection, const HttpAnswer& answer, bool keepOpen, bool withBody) {
    const std::string head = render(answer, keepOpen);
    const Clock::time_point deadline = deadlineFor(limits.writeTime, head.size() + answer.body.size());
    return sendAll(connection.fd, head, deadline) && (!withBody || sendAll(connection.fd, answer.body, deadline));
  }

  // One request read, screened, routed and answered; false when the connection is to be closed.
  bool serveOne(Connection& connection, bool first) {
    std::string head;
    const Read got = connection.head(head, limits, first);
    if (got == Read::Closed) return false;
    if (got == Read::Late) {
      // Silence before a request began is a connection let go; a request begun and not ended
      // in time is told so.
      if (!connection.buffer.empty()) send(connection, refusal(408, "the request took too long to arrive"), false, true);
      return false;
    }
    if (got == Read::TooLarge) {
      send(connection, refusal(431, "the request's head is larger than " + std::to_string(limits.headBytes) + " bytes"),
           false, true);
      return false;
    }
    HttpRequest request;
    bool http10 = false;
    if (!parseHead(head, request, http10)) {
      send(connection, refusal(400, "a malformed request"), false, true);
      return false;
    }
    bool keepOpen = !http10;
    if (const auto value = request.header("connection"); value && lowerCase(*value).find("close") != std::string::npos) {
      keepOpen = false;
    }
    const bool withBody = request.method != "HEAD";
    if (request.header("transfer-encoding")) {
      send(connection, refusal(411, "a body is taken only with a Content-Length, never in chunks"), false, withBody);
      return false;
    }
    size_t length = 0;
    if (const auto value = request.header("content-length")) {
      const bool digits = !value->empty() && value->size() <= 18 &&
                          std::all_of(value->begin(), value->end(), [](unsigned char c) { return std::isdigit(c); });
      bool agreed = true;
      for (const auto& [name, other] : request.headers) agreed = agreed && (name != "content-length" || other == *value);
      if (!digits || !agreed) {
        send(connection, refusal(400, "a malformed Content-Length"), false, withBody);
        return false;
      }
      length = std::stoull(*value);
    }
    if (screen) {
      if (auto refused = screen(request)) {
        send(connection, *refused, false, withBody);
        return false;
      }
    }
    const Route* route = nullptr;
    bool pathKnown = false;
    for (const Route& r : routes) {
      if (r.path != request.path) continue;
      pathKnown = true;
      if (r.method == request.method || (r.method == "GET" && request.method == "HEAD")) route = &r;
    }
    if (route == nullptr) {
      const int status = pathKnown ? 405 : 404;
      send(connection,
           refusal(status, pathKnown ? "not for " + request.method + ": " + request.path
                                     : "nothing here: " + request.method + " " + request.path),
           keepOpen && length == 0, withBody);
      return keepOpen && length == 0;
    }
    if (length > route->bodyLimit) {
      send(connection,
           refusal(413, route->bodyLimit == 0
                            ? request.method + " " + request.path + " takes no body"
                            : "too large: " + request.method + " " + request.path + " takes at most " +
                                  std::to_string(route->bodyLimit) + " bytes, not " + std::to_string(length)),
           false, withBody);
      return false;
    }
    const Read body = connection.body(request.body, length, limits);
    if (body != Read::Done) {
      if (body == Read::Late) send(connection, refusal(408, "the request's body took too long to arrive"), false, withBody);
      return false;
    }
    HttpAnswer answer;
    const ClientPresent present = [this, &connection] { return connection.present() && !stopAsked(); };
    try {
      answer = route->handler(request, present);
    } catch (const std::exception& error) {
      answer = refusal(500, std::string("the server failed on this request: ") + error.what());
    } catch (...) {
      answer = refusal(500, "the server failed on this request");
    }
    keepOpen = keepOpen && !stopAsked();
    return send(connection, answer, keepOpen, withBody) && keepOpen;
  }

  void serveConnection(int fd) {
    Connection connection{fd, {}};
    for (size_t n = 0; n < limits.requestsPerConnection && !stopAsked(); ++n) {
      if (!serveOne(connection, n == 0)) break;
    }
    // The client is told the end first, and what it still sends (the rest of a refused body) is
    // read and dropped for a moment: closing with unread bytes would reset the connection, and
    // the client could lose the answer that says why.
    shutdown(fd, SHUT_WR);
    const Clock::time_point lingerEnd = Clock::now() + std::chrono::seconds(1);
    size_t dropped = 0;
    char scrap[16384];
    while (dropped < (4u << 20) && waitFor(fd, POLLIN, lingerEnd)) {
      const ssize_t got = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (got > 0) dropped += static_cast<size_t>(got);
    }
    std::lock_guard<std::mutex> guard(lock);
    open.erase(fd);
    close(fd);
    finished.push_back(std::this_thread::get_id());
    changed.notify_all();
  }

  // Joins the threads whose connections have ended. Called with `lock` held.
  void reap() {
    for (const std::thread::id id : finished) {
      for (auto t = threads.begin(); t != threads.end(); ++t) {
        if (t->first == id) {
          t->second.join();
          threads.erase(t);
          break;
        }
      }
    }
    finished.clear();
  }

  void accept() {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::unique_lock<std::mutex> guard(lock);
    reap();
    if (stopping || open.size() >= limits.connections) {
      guard.unlock();
      const std::string busy = render(refusal(503, "too many connections at once"), false) + "too many connections at once\n";
      (void)::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      close(fd);
      return;
    }
    open.insert(fd);
    std::thread thread([this, fd] { serveConnection(fd); });
    const std::thread::id id = thread.get_id();
    threads.emplace_back(id, std::move(thread));
  }
};

HttpServer::HttpServer(HttpLimits limits) : impl_(std::make_unique<Impl>(limits)) {}

HttpServer::~HttpServer() = default;

void HttpServer::route(const std::string& method, const std::string& path, Handler handler, size_t bodyLimit) {
  impl_->routes.push_back({method, path, std::move(handler), bodyLimit});
}

void HttpServer::screen(Screen screen) { impl_->screen = std::move(screen); }

void HttpServer::commonHeaders(HttpHeaders headers) { impl_->common = std::move(headers); }

int HttpServer::bind(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) throw HostError("cannot listen on " + host + ": not an address");
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw HostError("cannot make a socket: " + std::string(std::strerror(errno)));
  // SO_REUSEADDR lets a restarted server take its port back from connections still closing;
  // it never lets two servers listen on one port (SO_REUSEPORT would, and is not set).
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0) {
    const int failure = errno;
    close(fd);
    const std::string where = host + ":" + std::to_string(port);
    if (failure == EADDRINUSE) throw HostError("cannot listen on " + where + ": another program listens there (give --port N)");
    throw HostError("cannot listen on " + where + ": " + std::strerror(failure));
  }
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  if (impl_->listener >= 0) close(impl_->listener);
  impl_->listener = fd;
  return ntohs(address.sin_port);
}

void HttpServer::run() {
  Impl& s = *impl_;
  if (s.listener < 0) throw HostError("the server was not bound to a port");
  for (;;) {
    pollfd ready[2] = {{s.listener, POLLIN, 0}, {s.wake[0], POLLIN, 0}};
    if (s.stopAsked()) break;
    const int got = poll(ready, 2, -1);
    if (got < 0 && errno != EINTR) break;
    if (ready[1].revents != 0 || s.stopAsked()) break;
    if (ready[0].revents & POLLIN) s.accept();
  }
  close(s.listener);
  s.listener = -1;
  // Every connection is woken from its reads; handlers under way learn of the stop through
  // ClientPresent, and the threads end.
  std::unique_lock<std::mutex> guard(s.lock);
  for (const int fd : s.open) shutdown(fd, SHUT_RD);
  s.changed.wait(guard, [&] {
    s.reap();
    return s.threads.empty();
  });
}

void HttpServer::stop() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->stopping = true;
  const char byte = 1;
  (void)!write(impl_->wake[1], &byte, 1);
}

}  // namespace ophost::serve
