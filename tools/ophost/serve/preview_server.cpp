#include "preview_server.h"

#include <exception>

#include "host_error.h"
#include "web_assets.h"

namespace ophost::serve {

using namespace ophost::render;

namespace {

HttpAnswer answerOf(Reply reply) {
  HttpAnswer answer;
  answer.status = reply.status;
  answer.type = std::move(reply.type);
  answer.body = std::move(reply.body);  // moved, not copied: an MP4 download is held once
  if (!reply.download.empty()) {
    answer.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + reply.download + "\"");
  }
  if (!reply.pixelAspect.square()) answer.headers.emplace_back("X-Pixel-Aspect", reply.pixelAspect.describe());
  return answer;
}

HttpAnswer refused(int status, const std::string& message) {
  HttpAnswer answer;
  answer.status = status;
  answer.body = message + "\n";
  return answer;
}

}  // namespace

struct PreviewServer::Impl {
  PreviewService& service;
  std::function<void(const std::string&)> note;
  HttpServer http;
  std::string host;
  int port = 0;
  Impl(PreviewService& s, std::function<void(const std::string&)> n, HttpLimits limits)
      : service(s), note(std::move(n)), http(limits) {}

  // Why a request does not come from the page this server sent, or nothing.
  std::optional<std::string> foreign(const HttpRequest& request) const {
    const std::string numeric = host + ":" + std::to_string(port);
    const std::string named = "localhost:" + std::to_string(port);
    const auto hostHeader = request.header("host");
    if (!hostHeader) return "it names no Host";
    if (*hostHeader != numeric && *hostHeader != named) {
      return "it is addressed to \"" + *hostHeader + "\", not to " + numeric;
    }
    if (const auto origin = request.header("origin")) {
      if (*origin != "http://" + numeric && *origin != "http://" + named) return "it comes from the page of " + *origin;
    }
    const bool api = request.path.rfind("/api/", 0) == 0;
    const auto site = request.header("sec-fetch-site");
    const bool navigation = request.header("sec-fetch-mode").value_or("") == "navigate";
    if (site && *site != "same-origin" && *site != "none" && (api || !navigation)) {
      return "it was sent by a page of another site (" + *site + ")";
    }
    if (api && !request.header(kApiRequestHeader)) return std::string("it lacks the ") + kApiRequestHeader + " header";
    return std::nullopt;
  }
};

PreviewServer::PreviewServer(PreviewService& service, std::function<void(const std::string&)> note, HttpLimits limits)
    : impl_(std::make_unique<Impl>(service, std::move(note), limits)) {
  HttpServer& http = impl_->http;
  PreviewService& svc = impl_->service;

  for (const WebAsset& asset : webAssets()) {
    auto handler = [&asset](const HttpRequest&, const ClientPresent&) {
      HttpAnswer answer;
      answer.type = std::string(asset.type);
      answer.body = std::string(asset.body);
      return answer;
    };
    http.route("GET", std::string(asset.path), handler);
    if (asset.path == "/index.html") http.route("GET", "/", handler);
  }
  http.route("GET", "/api/plugins", [&svc](const HttpRequest&, const ClientPresent&) { return answerOf(svc.plugins()); });
  http.route("GET", "/api/frame", [&svc](const HttpRequest& request, const ClientPresent& present) {
    return answerOf(svc.frame(parseQuery(request.query), present));
  });
  http.route("GET", "/api/video", [&svc](const HttpRequest& request, const ClientPresent& present) {
    return answerOf(svc.video(parseQuery(request.query), present));
  });
  http.route("GET", "/api/command", [&svc](const HttpRequest& request, const ClientPresent&) {
    return answerOf(svc.commandLine(parseQuery(request.query)));
  });
  http.route(
      "POST", "/api/upload",
      [&svc](const HttpRequest& request, const ClientPresent&) {
        std::string name;
        for (const auto& [key, text] : parseQuery(request.query)) {
          if (key == "name") name = text;
        }
        return answerOf(svc.upload(name, request.body));
      },
      svc.uploadLimit());

  http.screen([impl = impl_.get()](const HttpRequest& request) -> std::optional<HttpAnswer> {
    const auto why = impl->foreign(request);
    if (!why) return std::nullopt;
    if (impl->note) impl->note("refused " + request.method + " " + request.path + ": " + *why);
    return refused(403, "refused: " + *why + "; this server answers only its own page at http://" + impl->host +
                            ":" + std::to_string(impl->port) + "/");
  });
  http.commonHeaders({
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Content-Security-Policy", "default-src 'self'; img-src 'self' blob:; connect-src 'self' blob:; frame-ancestors 'none'"},
      {"X-Frame-Options", "DENY"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Referrer-Policy", "no-referrer"},
  });
}

PreviewServer::~PreviewServer() = default;

int PreviewServer::bind(const std::string& host, int port) {
  impl_->host = host;
  impl_->port = impl_->http.bind(host, port);
  return impl_->port;
}

void PreviewServer::run() { impl_->http.run(); }

void PreviewServer::stop() { impl_->http.stop(); }

}  // namespace ophost::serve
