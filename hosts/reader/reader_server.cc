// The reader's HTTP routes: who may ask, the page, the list, one message, its frame, the
// banner's button and panel, and the reload events.
#include "hosts/reader/reader_server.h"

#include <sys/random.h>

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <functional>

#include "core/config/config_store.h"
#include "hosts/reader/attachment_file.h"
#include "hosts/reader/base64_text.h"
#include "hosts/reader/frame_html.h"
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

constexpr const char* kRefusedPage =
    "<!DOCTYPE html><html lang=\"zh-Hans\"><meta charset=\"utf-8\"><title>无法打开读信器</title>"
    "<p>无法打开读信器：请使用 quillory-ext serve 启动时给出的链接。</p></html>";

bool secretEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string cookieValue(const std::string& header, const std::string& name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string_view item(header.data() + pos, end - pos);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    if (item.substr(0, name.size() + 1) == name + "=") return std::string(item.substr(name.size() + 1));
    pos = end + 1;
  }
  return {};
}

void sendJson(httplib::Response& res, const json& body, int status = 200) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json; charset=utf-8");
}

void sendError(httplib::Response& res, int status, const std::string& text) {
  sendJson(res, {{"error", text}}, status);
}

std::optional<std::string> asset(std::string_view path) {
  for (const auto& a : assets::kAssets)
    if (a.path == path) return std::string(a.body);
  return std::nullopt;
}

std::string contentTypeOf(std::string_view path) {
  if (path.ends_with(".js")) return "text/javascript; charset=utf-8";
  if (path.ends_with(".css")) return "text/css; charset=utf-8";
  return "text/html; charset=utf-8";
}

// The state of the banner ("offer", "pending", "error", "done") from the message's context, for
// the page to draw an error as one; null without a context.
json bannerState(const json& context) {
  if (!context.is_string()) return nullptr;
  const json fields = json::parse(base64Decode(context.get<std::string>()), nullptr, false);
  if (!fields.is_object() || !fields.contains("s") || !fields["s"].is_string()) return nullptr;
  return fields["s"];
}

}  // namespace

std::string randomToken() {
  unsigned char bytes[32];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

ReaderServer::ReaderServer(std::unique_ptr<MailSource> source, HostCall host)
    : source_(std::move(source)), host_(std::move(host)), server_(std::make_unique<httplib::Server>()),
      secret_(randomToken()) {}

ReaderServer::~ReaderServer() { stop(); }

std::string ReaderServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/?k=" + secret_;
}

bool ReaderServer::start(int port) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server_->set_payload_max_length(kMaxRequestBytes);
  routes();
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ < 0) return false;
  } else {
    if (!server_->bind_to_port("127.0.0.1", port)) return false;
    port_ = port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void ReaderServer::stop() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

void ReaderServer::notifyReload() {
  {
    MutexLock lock(mutex_);
    ++reloads_;
  }
  changed_.notify_all();
}

bool ReaderServer::allowed(const httplib::Request& req, bool& viaSecret) const {
  viaSecret = false;
  const std::string port = std::to_string(port_);
  const std::string host = req.get_header_value("Host");
  // A foreign Host is how a page elsewhere reaches a local server through DNS rebinding.
  if (host != "127.0.0.1:" + port && host != "localhost:" + port) return false;
  if (req.has_header("Origin")) {
    const std::string origin = req.get_header_value("Origin");
    if (origin != "http://127.0.0.1:" + port && origin != "http://localhost:" + port) return false;
  }
  if (req.get_header_value("Sec-Fetch-Site") == "cross-site") return false;
  if (req.has_param("k") && secretEquals(req.get_param_value("k"), secret_)) {
    viaSecret = true;
    return true;
  }
  return secretEquals(cookieValue(req.get_header_value("Cookie"), "qy_reader_" + port), secret_);
}

void ReaderServer::routes() {
  server_->set_default_headers({{"Referrer-Policy", "no-referrer"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Cache-Control", "no-store"}});
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    bool viaSecret = false;
    if (!allowed(req, viaSecret)) {
      res.status = 403;
      res.set_header("Content-Security-Policy", "default-src 'none'");
      res.set_content(kRefusedPage, "text/html; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (viaSecret && req.path == "/") {
      // The secret moves into a cookie; the address bar and history keep a clean URL.
      res.set_header("Set-Cookie", "qy_reader_" + std::to_string(port_) + "=" + secret_ +
                                       "; Path=/; HttpOnly; SameSite=Strict");
      res.set_redirect("/", 303);
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
      sendError(res, 415, "请求格式不对");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  auto page = [](const httplib::Request& req, httplib::Response& res) {
    const std::string path = req.path == "/" ? "/index.html" : req.path;
    const auto body = asset(path);
    if (!body) {
      res.status = 404;
      return;
    }
    res.set_header("Content-Security-Policy", kPagePolicy);
    res.set_header("X-Frame-Options", "DENY");
    res.set_content(*body, contentTypeOf(path));
  };
  server_->Get("/", page);
  server_->Get("/reader.js", page);
  server_->Get("/reader.css", page);

  server_->Get("/api/messages", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const auto& m : source_->list())
      list.push_back({{"id", m.id}, {"folder", m.folder}, {"from", m.from}, {"subject", m.subject},
                      {"date", m.date}, {"time", m.time}, {"size", m.size}, {"unread", m.unread}});
    sendJson(res, {{"messages", list}});
  });
  server_->Get("/api/message", [this](const httplib::Request& req, httplib::Response& res) { handleMessage(req, res); });
  server_->Get(R"(/frame/([0-9a-f]+))", [this](const httplib::Request& req, httplib::Response& res) { handleFrame(req, res); });
  // An empty document the frame steps onto for a moment, to come back to its message.
  server_->Get("/frame-hold", [](const httplib::Request& req, httplib::Response& res) {
    sendFrame(req, res, "<!DOCTYPE html><meta charset=\"utf-8\"><meta name=\"color-scheme\" content=\"light dark\">");
  });
  server_->Get("/api/attachment", [this](const httplib::Request& req, httplib::Response& res) { handleAttachment(req, res); });
  server_->Get("/events", [this](const httplib::Request&, httplib::Response& res) { handleEvents(res); });
  server_->Post("/api/action", [this](const httplib::Request& req, httplib::Response& res) { handleProtocol(req, res); });
  server_->Post("/api/panel", [this](const httplib::Request& req, httplib::Response& res) { handleProtocol(req, res); });
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
      host_ ? host_({{"op", "decodedMessage"}, {"data", base64Encode(*bytes)}, {"mainThread", original}})
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
    if (message.contains("data") && message["data"].is_string()) shown = base64Decode(message["data"].get<std::string>());
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
  if (token.empty()) token = randomToken();
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
