// SettingsServer; see settings_server.h.
#include "app/settings_server.h"

#include <openssl/rand.h>

#include <httplib.h>

#include <stdexcept>
#include <string_view>

#include "app/request_guard.h"
#include "app/settings_api.h"
#include "app/web_assets.h"

namespace qy::app {
namespace {

using nlohmann::json;

// The cookie's name holds the port: cookies are shared by every port of 127.0.0.1, and two
// applications for two storage roots must not take each other's.
std::string cookieName(int port) { return "qy_settings_" + std::to_string(port); }
// Nothing but this server's own script and style; no frames, no forms elsewhere, no plugins.
constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'";
// The settings page's requests are small; anything larger is not from it.
constexpr size_t kBodyLimit = 64 * 1024;

const web::Asset* assetAt(std::string_view path) {
  for (const web::Asset& asset : web::kAssets)
    if (asset.path == path) return &asset;
  return nullptr;
}

const char* contentType(std::string_view path) {
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  return "text/html; charset=utf-8";
}

void answerJson(httplib::Response& response, const json& body, int status = 200) {
  response.status = status;
  response.set_content(answerText(body), "application/json; charset=utf-8");
}

std::optional<json> parseBody(const httplib::Request& request) {
  try {
    return json::parse(request.body);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::string makeSecret() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) throw std::runtime_error("no random bytes");
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

SettingsServer::SettingsServer(SettingsModel& model)
    : model_(model),
      http_(std::make_unique<httplib::Server>()),
      secret_(makeSecret()),
      lastSeen_(std::chrono::steady_clock::now().time_since_epoch().count()) {
  routes();
}

SettingsServer::~SettingsServer() { stop(); }

bool SettingsServer::start(int port) {
  if (port == 0) {
    port_ = http_->bind_to_any_port("127.0.0.1");
    return port_ > 0;
  }
  if (!http_->bind_to_port("127.0.0.1", port)) return false;
  port_ = port;
  return true;
}

void SettingsServer::run() { http_->listen_after_bind(); }
void SettingsServer::stop() {
  model_.interruptWaits();  // pool threads in a long poll answer now, so stopping is quick
  http_->stop();
}

std::string SettingsServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?k=" + secret_;
}

std::chrono::steady_clock::duration SettingsServer::idleFor() const {
  if (polls_ > 0) return {};
  const auto last = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(lastSeen_.load()));
  return std::chrono::steady_clock::now() - last;
}

void SettingsServer::routes() {
  httplib::Server& http = *http_;
  http.set_payload_max_length(kBodyLimit);
  http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  // The page asks again at once after each answer; an idle kept-alive connection only delays
  // stopping, which waits for it.
  http.set_keep_alive_timeout(2);
  http.set_default_headers({
      {"Content-Security-Policy", kPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
  });

  http.set_pre_routing_handler([this](const httplib::Request& request,
                                      httplib::Response& response) {
    if (!hostAllowed(request.get_header_value("Host"), port_)) {
      response.status = 403;
      response.set_content("foreign host", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (request.has_header("Origin") && !originAllowed(request.get_header_value("Origin"), port_)) {
      response.status = 403;
      response.set_content("foreign origin", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    lastSeen_ = std::chrono::steady_clock::now().time_since_epoch().count();
    // The address with the secret: remember it in a cookie and go on to the page without it
    // (the secret stays out of the history and of any address shown).
    if (request.method == "GET" && request.path == "/" && request.has_param("k")) {
      if (!sameSecret(request.get_param_value("k"), secret_)) {
        response.status = 403;
        response.set_content("wrong key", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
      }
      response.set_header("Set-Cookie", cookieName(port_) + "=" + secret_ +
                                            "; Path=/; HttpOnly; SameSite=Strict");
      response.set_redirect("/", 303);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!sameSecret(cookieValue(request.get_header_value("Cookie"), cookieName(port_)), secret_)) {
      response.status = 403;
      response.set_content("这个地址只对启动它的 Quillory 有效，请重新打开 Quillory。",
                           "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    // A post must say it is JSON: a plain HTML form elsewhere cannot send that.
    if (request.method == "POST" &&
        !request.get_header_value("Content-Type").starts_with("application/json")) {
      response.status = 415;
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  auto serveAsset = [](const httplib::Request& request, httplib::Response& response) {
    const std::string path = request.path == "/" ? "/index.html" : request.path;
    const web::Asset* asset = assetAt(path);
    if (!asset) {
      response.status = 404;
      return;
    }
    response.set_content(std::string(asset->body), contentType(path));
  };
  http.Get("/", serveAsset);
  http.Get("/index.html", serveAsset);
  http.Get("/app.js", serveAsset);
  http.Get("/app.css", serveAsset);

  http.Get("/api/state", [this](const httplib::Request& request, httplib::Response& response) {
    if (!request.has_param("after")) return answerJson(response, stateJson(model_.snapshot()));
    uint64_t after = 0;
    {
      try {
        after = std::stoull(request.get_param_value("after"));
      } catch (const std::exception&) {
        answerJson(response, {{"error", "after must be a number"}}, 400);
        return;
      }
    }
    if (++polls_ > kMaxPolls) {
      --polls_;
      return answerJson(response, stateJson(model_.snapshot()));
    }
    const SettingsState state =
        model_.waitForChange(after, std::chrono::steady_clock::now() + kPollLimit);
    lastSeen_ = std::chrono::steady_clock::now().time_since_epoch().count();
    --polls_;
    answerJson(response, stateJson(state));
  });

  http.Post("/api/settings", [this](const httplib::Request& request, httplib::Response& response) {
    const std::optional<json> body = parseBody(request);
    const std::optional<std::string> error =
        body ? applySettings(model_, *body) : std::optional<std::string>("not JSON");
    if (error) return answerJson(response, {{"error", *error}}, 400);
    answerJson(response, stateJson(model_.snapshot()));
  });

  http.Post("/api/packSource", [this](const httplib::Request& request,
                                      httplib::Response& response) {
    const std::optional<json> body = parseBody(request);
    const std::optional<std::string> error =
        body ? applyPackSource(model_, *body) : std::optional<std::string>("not JSON");
    if (error) return answerJson(response, {{"error", *error}}, 400);
    answerJson(response, stateJson(model_.snapshot()));
  });

  http.Post(R"(/api/engines/([A-Za-z]+))", [this](const httplib::Request& request,
                                                  httplib::Response& response) {
    const std::optional<json> body = parseBody(request);
    const std::optional<std::string> error =
        body ? applyEngineRequest(model_, request.matches[1].str(), *body)
             : std::optional<std::string>("not JSON");
    if (error) return answerJson(response, {{"error", *error}}, 400);
    answerJson(response, stateJson(model_.snapshot()));
  });

  http.Post(R"(/api/action/([A-Za-z]+))", [this](const httplib::Request& request,
                                                 httplib::Response& response) {
    if (!runAction(model_, request.matches[1].str()))
      return answerJson(response, {{"error", "unknown action"}}, 404);
    answerJson(response, stateJson(model_.snapshot()));
  });
}

}  // namespace qy::app
