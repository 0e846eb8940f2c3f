// ophost serve's HTTP layer against hostile clients on the loopback, spoken to over raw sockets:
// requests from other origins and other host names, slow and silent connections, chunked and
// oversized bodies, ranges, a second server on the same port, and a client that leaves while its
// answer is being made.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "http_server.h"
#include "host_error.h"
#include "ophost_test_support.h"
#include "preview_server.h"
#include "preview_service.h"

namespace {

using namespace std::chrono_literals;
using ophost::serve::ClientPresent;
using ophost::serve::HttpAnswer;
using ophost::serve::HttpRequest;
using ophost::serve::HttpServer;

int connectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{20, 0};  // no answer hangs the test
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

void sendText(int fd, const std::string& text) {
  ASSERT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
}

// Everything the server sends until it closes the connection.
std::string readToEnd(int fd) {
  std::string out;
  char buffer[65536];
  for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) out.append(buffer, static_cast<size_t>(got));
  return out;
}

struct Answer {
  int status = 0;
  std::string head, body;
};

Answer parse(const std::string& raw) {
  Answer answer;
  const size_t end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos) return answer;
  answer.status = std::stoi(raw.substr(9, 3));
  answer.head = raw.substr(0, end);
  answer.body = raw.substr(end + 4);
  return answer;
}

// One request on a connection of its own, which the server closes after answering.
Answer ask(int port, const std::string& request) {
  const int fd = connectTo(port);
  sendText(fd, request);
  Answer answer = parse(readToEnd(fd));
  close(fd);
  return answer;
}

// A server on a free loopback port, serving in a thread of its own until the test ends.
struct Running {
  HttpServer& server;
  int port = 0;
  std::thread thread;
  explicit Running(HttpServer& s) : server(s), port(s.bind("127.0.0.1", 0)) {
    thread = std::thread([this] { server.run(); });
  }
  ~Running() {
    server.stop();
    thread.join();
  }
};

// Slow and silent clients hold up nobody but themselves, and are let go at their deadlines;
// bodies are taken only with a length and only up to their route's limit, before any of it is
// read; a Range is not honoured, however many ranges it names.
TEST(HttpServer, HostileClientsHoldUpNobodyAndAreRefusedEarly) {
  ophost::serve::HttpLimits limits;
  limits.headTime = 1500ms;
  limits.idleTime = 1500ms;
  HttpServer server(limits);
  std::atomic<int> uploads{0};
  server.route("GET", "/cheap", [](const HttpRequest&, const ClientPresent&) {
    HttpAnswer answer;
    answer.body = std::string(1000, 'c');
    return answer;
  });
  server.route(
      "POST", "/up",
      [&uploads](const HttpRequest& request, const ClientPresent&) {
        ++uploads;
        HttpAnswer answer;
        answer.body = std::to_string(request.body.size());
        return answer;
      },
      64 << 10);
  Running running(server);
  const int port = running.port;

  std::vector<int> silent, slow;
  for (int n = 0; n < 12; ++n) silent.push_back(connectTo(port));
  for (int n = 0; n < 12; ++n) {
    slow.push_back(connectTo(port));
    sendText(slow.back(), "GET /cheap HTTP/1.1\r\nHost: x\r\n");  // and never the blank line
  }
  const Answer cheap = ask(port, "GET /cheap HTTP/1.1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(cheap.status, 200);
  EXPECT_EQ(cheap.body.size(), 1000u);
  for (int fd : silent) {
    EXPECT_EQ(readToEnd(fd), "");  // let go at the deadline, without a word
    close(fd);
  }
  for (int fd : slow) {
    EXPECT_EQ(parse(readToEnd(fd)).status, 408);
    close(fd);
  }

  std::string ranges = "bytes=0-";
  for (int n = 0; n < 2000; ++n) ranges += ",0-";
  const Answer ranged = ask(port, "GET /cheap HTTP/1.1\r\nRange: " + ranges + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(ranged.status, 200);
  EXPECT_EQ(ranged.body.size(), 1000u);

  // A chunked body is refused with 411 before a chunk is read; a declared length over the limit
  // with 413 before a byte of it is read; a form-encoded body is a body like any other.
  const int chunked = connectTo(port);
  sendText(chunked, "POST /up HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n0123456789abcdef\r\n");
  EXPECT_EQ(parse(readToEnd(chunked)).status, 411);
  close(chunked);
  const Answer huge = ask(port, "POST /up HTTP/1.1\r\nContent-Length: 400000000\r\n\r\n");
  EXPECT_EQ(huge.status, 413);
  EXPECT_NE(huge.body.find("at most 65536 bytes"), std::string::npos) << huge.body;
  EXPECT_EQ(ask(port, "GET /cheap HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello").status, 413);
  EXPECT_EQ(uploads.load(), 0);
  const Answer form = ask(port, "POST /up HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                "Content-Length: 10000\r\nConnection: close\r\n\r\n" + std::string(10000, 'a'));
  EXPECT_EQ(form.status, 200);
  EXPECT_EQ(form.body, "10000");
  EXPECT_EQ(ask(port, "GET http://elsewhere/cheap HTTP/1.1\r\n\r\n").status, 400);
  EXPECT_EQ(ask(port, "GET /cheap HTTP/1.1\r\nConnection: close\r\n\r\n").status, 200);  // still serving
}

// A handler learns that its client has closed the connection, and can stop its work there.
TEST(HttpServer, AHandlerLearnsThatItsClientLeft) {
  HttpServer server;
  std::promise<bool> noticed;
  server.route("GET", "/long", [&noticed](const HttpRequest&, const ClientPresent& present) {
    bool left = false;
    for (int step = 0; step < 2000 && !left; ++step) {
      left = !present();
      std::this_thread::sleep_for(10ms);
    }
    noticed.set_value(left);
    return HttpAnswer{};
  });
  Running running(server);
  const int fd = connectTo(running.port);
  sendText(fd, "GET /long HTTP/1.1\r\n\r\n");
  std::this_thread::sleep_for(100ms);
  close(fd);
  EXPECT_TRUE(noticed.get_future().get());
}

// A port in use is an error with one line, never a second server sharing it.
TEST(HttpServer, APortIsNeverShared) {
  HttpServer first, second;
  const int port = first.bind("127.0.0.1", 0);
  try {
    second.bind("127.0.0.1", port);
    ADD_FAILURE() << "a second server listens on port " << port;
  } catch (const ophost::HostError& error) {
    EXPECT_NE(std::string(error.what()).find("another program listens there"), std::string::npos) << error.what();
  }
  const ophosttest::RunResult run = ophosttest::runOphost({"serve", "--port", std::to_string(port)});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "ophost: cannot listen on 127.0.0.1:" + std::to_string(port) +
                         ": another program listens there (give --port N)\n");
}

class PreviewHttp : public ophosttest::Scratch {};

// The preview server answers its own page only: a foreign Host (a name rebound to 127.0.0.1), a
// foreign Origin, a request another site's page sent, and any /api/ request without the page's
// header are refused, an upload before its body is read; every answer forbids framing and
// sniffing.
TEST_F(PreviewHttp, AnswersItsOwnPageOnly) {
  REQUIRE_PLUGIN("Halves");
  ophost::serve::ServiceOptions options;
  options.plugins = OP_PLUGIN_DIR;
  options.textures = OP_TEXTURE_DIR;
  options.workDirectory = dir;
  ophost::serve::PreviewService service(options);
  std::vector<std::string> notes;
  std::mutex notesLock;
  ophost::serve::PreviewServer server(service, [&](const std::string& note) {
    std::lock_guard<std::mutex> guard(notesLock);
    notes.push_back(note);
  });
  const int port = server.bind("127.0.0.1", 0);
  std::thread serving([&] { server.run(); });
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string api = std::string(ophost::serve::kApiRequestHeader) + ": 1\r\n";
  auto get = [&](const std::string& target, const std::string& headers) {
    return ask(port, "GET " + target + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
  };

  const Answer page = get("/", host);
  EXPECT_EQ(page.status, 200);
  for (const char* header : {"X-Content-Type-Options: nosniff", "frame-ancestors 'none'", "X-Frame-Options: DENY"}) {
    EXPECT_NE(page.head.find(header), std::string::npos) << header;
  }
  EXPECT_EQ(get("/", "Host: localhost:" + std::to_string(port) + "\r\nSec-Fetch-Site: cross-site\r\n"
                     "Sec-Fetch-Mode: navigate\r\n").status, 200);  // a link to the page opens it
  EXPECT_EQ(get("/api/plugins", host + api).status, 200);
  EXPECT_EQ(get("/api/frame?plugin=Halves&size=32x18", host + api).status, 200);

  const std::string frame = "/api/frame?plugin=Halves&size=32x18";
  const Answer rebound = get(frame, "Host: rebound.example:" + std::to_string(port) + "\r\n" + api);
  EXPECT_EQ(rebound.status, 403);
  EXPECT_NE(rebound.body.find("addressed to \"rebound.example:"), std::string::npos) << rebound.body;
  EXPECT_NE(rebound.head.find("nosniff"), std::string::npos);
  EXPECT_EQ(get(frame, api).status, 403);                                                     // no Host
  EXPECT_EQ(get(frame, host).status, 403);                                                    // no header
  EXPECT_EQ(get(frame, host + api + "Origin: http://127.0.0.1:1\r\n").status, 403);           // other origin
  EXPECT_EQ(get(frame, host + "Sec-Fetch-Site: same-site\r\nSec-Fetch-Dest: image\r\n").status, 403);  // an <img>
  EXPECT_EQ(get("/app.js", host + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: no-cors\r\n").status, 403);
  EXPECT_EQ(get(frame, host + api + "Origin: http://127.0.0.1:" + std::to_string(port) + "\r\n").status, 200);

  // A "simple" cross-origin POST: text/plain, no header of the page's; refused before its body.
  const Answer upload = ask(port, "POST /api/upload?name=x.png HTTP/1.1\r\n" + host +
                                      "Origin: http://127.0.0.1:1\r\nContent-Type: text/plain\r\n"
                                      "Content-Length: 50000000\r\n\r\n");
  EXPECT_EQ(upload.status, 403);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_EQ(ask(port, "OPTIONS /api/upload HTTP/1.1\r\n" + host + "Origin: http://127.0.0.1:1\r\n\r\n").status, 403);

  server.stop();
  serving.join();
  std::lock_guard<std::mutex> guard(notesLock);
  ASSERT_EQ(notes.size(), 8u);
  EXPECT_EQ(notes[0].rfind("refused GET /api/frame: it is addressed to \"rebound.example:", 0), 0u) << notes[0];
}

}  // namespace
