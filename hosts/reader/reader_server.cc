// The reader's HTTP routes: who may ask, the page, the list, one message, its frame, the
// banner's button and panel, and the reload events.
#include "hosts/reader/reader_server.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <functional>

#include "core/config/config_store.h"
#include "hosts/reader/attachment_file.h"
#include "platform/base64.h"
#include "hosts/reader/color_scheme.h"
#include "hosts/reader/message_view.h"
#include "hosts/reader/reader_assets.h"

namespace qy::reader {
namespace {

using nlohmann::json;

// HTTP threads: the page opens a few connections and one event stream per tab.
constexpr size_t kThreads = 24;

constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; frame-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'";
// The message frame: no script of any kind, no load from anywhere but data: images and the
// message's own inline styles; and a sandbox of its own, should the frame be opened by itself.
constexpr const char* kFramePolicy =
    "default-src 'none'; img-src data:; style-src 'unsafe-inline'; form-action 'none'; "
    "base-uri 'none'; frame-ancestors 'self'; sandbox";

constexpr const char* kRefusedText = "无法打开读信器：请使用 quillory-ext serve 启动时给出的链接。";

void sendJson(httplib::Response& res, const json& body, int status = 200) { web::sendJson(res, body, status); }

void sendError(httplib::Response& res, int status, const std::string& text) {
  sendJson(res, {{"error", text}}, status);
}

std::optional<std::string> asset(std::string_view path) {
  for (const auto& a : assets::kAssets)
    if (a.path == path) return std::string(a.body);
  return std::nullopt;
}

web::LocalServerOptions webOptions(std::filesystem::path root) {
  web::LocalServerOptions options;
  options.name = "reader";
  options.root = std::move(root);
  options.policy = kPagePolicy;
  options.refusedText = kRefusedText;
  options.bodyLimit = kMaxRequestBytes;
  options.limits.workers = kThreads;
  return options;
}

// A frame token: random, or nothing when the generator fails.
std::string frameToken() { return web::randomHex(32).value_or(std::string()); }

// The state of the banner ("offer", "pending", "error", "done") from the message's context, for
// the page to draw an error as one; null without a context.
json bannerState(const json& context) {
  if (!context.is_string()) return nullptr;
  const json fields = json::parse(platform::base64Decode(context.get<std::string>()).value_or(""), nullptr, false);
  if (!fields.is_object() || !fields.contains("s") || !fields["s"].is_string()) return nullptr;
  return fields["s"];
}

}  // namespace

ReaderServer::ReaderServer(std::unique_ptr<MailSource> source, HostCall host, std::filesystem::path root)
    : source_(std::move(source)), host_(std::move(host)), web_(webOptions(std::move(root))) {
  routes();
}

ReaderServer::~ReaderServer() { stop(); }

std::string ReaderServer::url() const { return web_.printedAddress().value_or(web_.address()); }

bool ReaderServer::start(int port) {
  if (!web_.start(port)) return false;
  thread_ = std::thread([this] { web_.run(); });
  return true;
}

void ReaderServer::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  web_.stop();
  if (thread_.joinable()) thread_.join();
}

void ReaderServer::notifyReload() {
  {
    MutexLock lock(mutex_);
    ++reloads_;
  }
  changed_.notify_all();
}

void ReaderServer::routes() {
  httplib::Server& http = web_.http();
  auto page = [](const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    const auto body = asset(path);
    if (!body) {
      res.status = 404;
      return;
    }
    web::sendAsset(res, path, *body);
  };
  http.Get("/", page);
  http.Get("/reader.js", page);
  http.Get("/reader.css", page);

  http.Get("/api/messages", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& m : source_->list())
      list.push_back({{"id", m.id}, {"folder", m.folder}, {"from", m.from}, {"subject", m.subject},
                      {"date", m.date}, {"time", m.time}, {"size", m.size}, {"unread", m.unread}});
    sendJson(res, {{"messages", list}});
  });
  http.Get("/api/message", [this](const httplib::Request& req, httplib::Response& res) { handleMessage(req, res); });
  http.Get(R"(/frame/([0-9a-f]+))", [this](const httplib::Request& req, httplib::Response& res) { handleFrame(req, res); });
  // An empty document the frame steps onto for a moment, to come back to its message.
  http.Get("/frame-hold", [](const httplib::Request& req, httplib::Response& res) {
    sendFrame(req, res, "<!DOCTYPE html><meta charset=\"utf-8\"><meta name=\"color-scheme\" content=\"light dark\">");
  });
  http.Get("/api/attachment", [this](const httplib::Request& req, httplib::Response& res) { handleAttachment(req, res); });
  http.Get("/events", [this](const httplib::Request&, httplib::Response& res) { handleEvents(res); });
  http.Post("/api/action", [this](const httplib::Request& req, httplib::Response& res) { handleProtocol(req, res); });
  http.Post("/api/panel", [this](const httplib::Request& req, httplib::Response& res) { handleProtocol(req, res); });
}

void ReaderServer::handleMessage(const httplib::Request& req, httplib::Response& res) {
  const auto bytes = source_->read(req.get_param_value("id"));
  if (!bytes) {
    sendError(res, 404, "无法读取这封邮件");
    return;
  }
  // Like a mail client's background decode: the configured first-paint wait applies. The
  // original is shown as received, under the banner of what the extension has now.
  const bool original = req.get_param_value("original") == "1";
  const auto answer =
      host_ ? host_({{"op", "decodedMessage"}, {"data", platform::base64Encode(*bytes)}, {"mainThread", original}})
            : std::nullopt;
  json out = {{"id", req.get_param_value("id")}, {"banner", nullptr}, {"context", nullptr},
              {"notice", nullptr}, {"subject", nullptr}, {"state", nullptr}, {"original", original},
              {"changed", false},
              // The page shows a translated subject under the original, or in its place.
              {"mode", ConfigStore::load().mode == "replace" ? "replace" : "bilingual"}};
  std::string shown = *bytes;
  if (!answer || !answer->value("ok", false)) {
    out["notice"] = "无法连接到 Quillory 扩展服务，显示的是收到的原始邮件。";
  } else if (const auto& message = (*answer)["message"]; message.is_object()) {
    if (message.contains("data") && message["data"].is_string())
      shown = platform::base64Decode(message["data"].get<std::string>()).value_or(*bytes);
    if (message.contains("context")) out["context"] = message["context"];
    if (message.contains("banner") && message["banner"].is_object()) out["banner"] = message["banner"];
    if (message.contains("subject") && message["subject"].is_string()) out["subject"] = message["subject"];
    out["state"] = bannerState(out["context"]);
    // Whether there is a translation to step away from: only then does the page offer the original.
    out["changed"] = shown != *bytes;
    if (original) shown = *bytes;
  }
  const MessageView view = buildMessageView(shown);
  out["view"] = toJson(view);
  // Attachments are the received message's (a download takes them from it): the rebuilt body of
  // a translated plain text no longer holds the files uuencoded into it.
  if (shown != *bytes) out["view"]["attachments"] = toJson(buildMessageView(*bytes))["attachments"];
  // The page replaces its frame only when the document changed, so a reload that brings the same
  // message keeps the reader's place in it.
  out["version"] = std::to_string(std::hash<std::string>{}(view.frameHtml));
  out["frame"] = "/frame/" + keepFrame(req.get_param_value("id"), view.frameHtml);
  sendJson(res, out);
}

void ReaderServer::handleAttachment(const httplib::Request& req, httplib::Response& res) {
  const auto bytes = source_->read(req.get_param_value("id"));
  size_t index = 0;
  const std::string n = req.get_param_value("n");
  const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), index);
  std::optional<AttachmentContent> file;
  if (bytes && ec == std::errc() && end == n.data() + n.size() && !n.empty()) file = attachmentContent(*bytes, index);
  if (!file) {
    sendError(res, 404, "找不到这个附件");
    return;
  }
  // Always a download, never shown by the reader: the file is the sender's, and the reader's
  // origin holds the user's mail.
  res.set_header("Content-Disposition", attachmentDisposition(file->attachment.name));
  res.set_header("Content-Security-Policy", "default-src 'none'; sandbox");
  res.set_content(std::string(file->data.begin(), file->data.end()), "application/octet-stream");
}

std::string ReaderServer::keepFrame(const std::string& id, std::string html) {
  MutexLock lock(mutex_);
  std::string token;
  for (auto it = frames_.begin(); it != frames_.end(); ++it) {
    if (it->id != id) continue;
    token = it->token;
    frames_.erase(it);
    break;
  }
  if (token.empty()) token = frameToken();
  frames_.push_back({id, token, std::move(html)});
  while (frames_.size() > kMaxFrames) frames_.pop_front();
  return token;
}

void ReaderServer::handleFrame(const httplib::Request& req, httplib::Response& res) {
  const std::string token = req.matches[1];
  std::optional<std::string> html;
  {
    MutexLock lock(mutex_);
    for (const Frame& frame : frames_)
      if (frame.token == token) html = frame.html;
  }
  if (!html) {
    res.status = 404;
    return;
  }
  sendFrame(req, res, std::move(*html));
}

void ReaderServer::sendFrame(const httplib::Request& req, httplib::Response& res, std::string html) {
  // The reader's own light/dark switch; without it the frame follows the browser.
  const std::string scheme = req.get_param_value("scheme");
  if (scheme == "dark" || scheme == "light") html = withColorScheme(html, scheme == "dark");
  res.set_header("Content-Security-Policy", kFramePolicy);
  res.set_header("X-Frame-Options", "SAMEORIGIN");
  res.set_content(html, "text/html; charset=utf-8");
}

void ReaderServer::handleEvents(httplib::Response& res) {
  uint64_t seen = 0;
  {
    MutexLock lock(mutex_);
    seen = reloads_;
  }
  auto opened = std::make_shared<bool>(false);
  res.set_chunked_content_provider("text/event-stream", [this, seen, opened](size_t, httplib::DataSink& sink) mutable {
    if (!*opened) {
      *opened = true;
      static constexpr std::string_view kHello = "retry: 1000\n: ready\n\n";
      return sink.write(kHello.data(), kHello.size());
    }
    bool reload = false;
    {
      MutexLock lock(mutex_);
      lock.waitUntil(changed_, std::chrono::steady_clock::now() + std::chrono::seconds(kHeartbeatSeconds),
                     [&]() QY_NO_THREAD_SAFETY_ANALYSIS { return stopping_ || reloads_ != seen; });
      if (stopping_) return false;
      reload = reloads_ != seen;
      seen = reloads_;
    }
    const std::string event = reload ? "event: reload\ndata: " + std::to_string(seen) + "\n\n" : ": heartbeat\n\n";
    return sink.write(event.data(), event.size());
  });
}

void ReaderServer::handleProtocol(const httplib::Request& req, httplib::Response& res) {
  const json body = json::parse(req.body, nullptr, false);
  if (!body.is_object()) {
    sendError(res, 400, "请求格式不对");
    return;
  }
  json request;
  if (req.path == "/api/action") {
    request = {{"op", "primaryActionClicked"}, {"context", body.value("context", json())}};
  } else {
    // Only the panel's own operations pass; the page cannot send any other op to the extension.
    const std::string op = body.value("op", "");
    if (op != "panelChanged" && op != "panelRetranslate" && op != "panelOpenApp" && op != "panelClosed") {
      sendError(res, 400, "请求格式不对");
      return;
    }
    request = {{"op", op}, {"panel", body.value("panel", json())}};
    if (op == "panelChanged") request["selected"] = body.value("selected", json::object());
  }
  const auto answer = host_ ? host_(request) : std::nullopt;
  if (!answer) {
    sendError(res, 502, "无法连接到 Quillory 扩展服务");
    return;
  }
  if (!answer->value("ok", false)) {
    sendError(res, 502, "Quillory 扩展服务拒绝了请求：" + answer->value("error", std::string()));
    return;
  }
  json out = *answer;
  out.erase("id");
  sendJson(res, out);
}

}  // namespace qy::reader
