// SettingsServer; see settings_server.h.
#include "app/settings_server.h"

#include <httplib.h>

#include <string_view>

#include "app/settings_api.h"
#include "app/web_assets.h"

namespace qy::app {
namespace {

using nlohmann::json;

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

void answerJson(httplib::Response& response, const json& body, int status = 200) {
  ::qy::web::sendJson(response, body, status);
}

std::optional<json> parseBody(const httplib::Request& request) {
  try {
    return json::parse(request.body);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

::qy::web::LocalServerOptions SettingsServer::webOptions(const std::filesystem::path& root) {
  ::qy::web::LocalServerOptions options;
  options.name = "settings";
  options.root = root;
  options.policy = kPolicy;
  options.refusedText = "这个地址只对启动它的 Quillory 有效，请重新打开 Quillory。";
  options.bodyLimit = kBodyLimit;
  options.limits.workers = kThreads;
  options.onAllowed = [this] { lastSeen_ = std::chrono::steady_clock::now().time_since_epoch().count(); };
  return options;
}

SettingsServer::SettingsServer(SettingsModel& model, const std::filesystem::path& root)
    : model_(model),
      web_(webOptions(root)),
      lastSeen_(std::chrono::steady_clock::now().time_since_epoch().count()) {
  routes();
}

SettingsServer::~SettingsServer() { stop(); }

bool SettingsServer::start(int port) { return web_.start(port); }

void SettingsServer::run() { web_.run(); }
void SettingsServer::stop() {
  model_.interruptWaits();  // threads in a long poll answer now, so stopping is quick
  web_.stop();
}

std::string SettingsServer::printedAddress() const {
  return web_.printedAddress().value_or(web_.address());
}

std::chrono::steady_clock::duration SettingsServer::idleFor() const {
  if (polls_ > 0) return {};
  const auto last = std::chrono::steady_clock::time_point(
      std::chrono::steady_clock::duration(lastSeen_.load()));
  return std::chrono::steady_clock::now() - last;
}

void SettingsServer::routes() {
  httplib::Server& http = web_.http();

  auto serveAsset = [](const httplib::Request& request, httplib::Response& response) {
    const std::string path = request.path == "/" ? "/index.html" : request.path;
    const web::Asset* asset = assetAt(path);
    if (!asset) {
      response.status = 404;
      return;
    }
    ::qy::web::sendAsset(response, path, asset->body);
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
