#include "preview_server.h"

#include <httplib.h>

#include <exception>
#include <mutex>

#include "host_error.h"
#include "web_assets.h"

namespace ophost::cli {

namespace {

// The query string read by the service's own parser: httplib's keeps only the text between the
// first and second '=' of "set=share=30" when the second '=' is not escaped.
Query queryOf(const httplib::Request& request) {
  const size_t mark = request.target.find('?');
  return mark == std::string::npos ? Query{} : parseQuery(request.target.substr(mark + 1));
}

std::string value(const Query& query, const std::string& name) {
  std::string found;
  for (const auto& [key, text] : query) {
    if (key == name) found = text;
  }
  return found;
}

// The body is moved, not copied: an MP4 download is held once.
void send(httplib::Response& response, Reply reply) {
  response.status = reply.status;
  response.set_header("Cache-Control", "no-store");
  if (!reply.download.empty()) {
    response.set_header("Content-Disposition", "attachment; filename=\"" + reply.download + "\"");
  }
  response.body = std::move(reply.body);
  response.set_header("Content-Type", reply.type);
}

}  // namespace

struct PreviewServer::Impl {
  PreviewService& service;
  httplib::Server server;
  // httplib's stop() does nothing before its loop runs, and must not be called twice: a stop asked
  // for early is kept here and carried out when the loop starts.
  std::mutex stopping;
  bool stopAsked = false;
  bool looping = false;
  bool stopped = false;
  explicit Impl(PreviewService& s) : service(s) {}
  void stopIfAsked() {
    if (stopAsked && looping && !stopped) {
      stopped = true;
      server.stop();
    }
  }
};

PreviewServer::PreviewServer(PreviewService& service) : impl_(std::make_unique<Impl>(service)) {
  httplib::Server& server = impl_->server;
  PreviewService& svc = impl_->service;

  // Made when the loop starts, after httplib counts the server as running.
  server.new_task_queue = [impl = impl_.get()]() -> httplib::TaskQueue* {
    {
      std::lock_guard<std::mutex> guard(impl->stopping);
      impl->looping = true;
      impl->stopIfAsked();
    }
    return new httplib::ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT);
  };

  for (const WebAsset& asset : webAssets()) {
    auto handler = [&asset](const httplib::Request&, httplib::Response& response) {
      response.set_header("Cache-Control", "no-store");
      response.set_content(std::string(asset.body), std::string(asset.type).c_str());
    };
    server.Get(std::string(asset.path), handler);
    if (asset.path == "/index.html") server.Get("/", handler);
  }
  server.Get("/api/plugins", [&svc](const httplib::Request&, httplib::Response& response) {
    send(response, svc.plugins());
  });
  server.Get("/api/frame", [&svc](const httplib::Request& request, httplib::Response& response) {
    send(response, svc.frame(queryOf(request)));
  });
  server.Get("/api/video", [&svc](const httplib::Request& request, httplib::Response& response) {
    send(response, svc.video(queryOf(request)));
  });
  server.Get("/api/command", [&svc](const httplib::Request& request, httplib::Response& response) {
    send(response, svc.commandLine(queryOf(request)));
  });
  server.Post("/api/upload", [&svc](const httplib::Request& request, httplib::Response& response) {
    send(response, svc.upload(value(queryOf(request), "name"), request.body));
  });

  // httplib refuses a body over this length itself (413) before any handler runs; the service
  // refuses one over its own limit with a message naming the file.
  server.set_payload_max_length(svc.uploadLimit() + 1);
  server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr failure) {
    std::string why = "unknown failure";
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const std::exception& error) {
      why = error.what();
    } catch (...) {
    }
    response.status = 500;
    response.set_content("the server failed on this request: " + why + "\n", "text/plain; charset=utf-8");
  });
  server.set_error_handler([&svc](const httplib::Request& request, httplib::Response& response) {
    if (!response.body.empty()) return;
    std::string message;
    switch (response.status) {
      case 404: message = "nothing here: " + request.method + " " + request.path; break;
      case 413:
        message = "the upload is too large: at most " + std::to_string(svc.uploadLimit()) + " bytes";
        break;
      case 400: message = "a malformed request"; break;
      default: message = "HTTP " + std::to_string(response.status); break;
    }
    response.set_header("Cache-Control", "no-store");
    response.set_content(message + "\n", "text/plain; charset=utf-8");
  });
}

PreviewServer::~PreviewServer() = default;

int PreviewServer::bind(const std::string& host, int port) {
  httplib::Server& server = impl_->server;
  if (port == 0) {
    const int bound = server.bind_to_any_port(host);
    if (bound <= 0) throw HostError("cannot listen on " + host + " (no free port)");
    return bound;
  }
  if (!server.bind_to_port(host, port)) {
    throw HostError("cannot listen on " + host + ":" + std::to_string(port) +
                    " (in use by another program? give --port N)");
  }
  return port;
}

void PreviewServer::run() { impl_->server.listen_after_bind(); }

void PreviewServer::stop() {
  std::lock_guard<std::mutex> guard(impl_->stopping);
  impl_->stopAsked = true;
  impl_->stopIfAsked();
}

}  // namespace ophost::cli
