// LocalServer, its pages and answers; see local_server.h.
#include "web/local_server.h"

#include <cerrno>

#include "core/config/log.h"
#include "web/request_guard.h"

namespace qy::web {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
// Refusal and error pages load nothing and run nothing.
constexpr const char* kPagePolicy = "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'";
constexpr const char* kForeignText = "这个请求不是从 Quillory 自己的页面发出的，已拒绝。";

struct StatusText {
  int status;
  const char* reason;
  const char* text;
};
constexpr StatusText kStatusTexts[] = {
    {400, "Bad Request", "请求格式不对。"},
    {403, "Forbidden", "没有权限打开这个页面。"},
    {404, "Not Found", "找不到这个页面。"},
    {405, "Method Not Allowed", "不支持这种请求。"},
    {408, "Request Timeout", "请求来得太慢，连接已关闭。"},
    {413, "Payload Too Large", "请求内容太大。"},
    {414, "URI Too Long", "地址太长。"},
    {415, "Unsupported Media Type", "请求格式不对。"},
    {431, "Request Header Fields Too Large", "请求头太大或太多。"},
    {500, "Internal Server Error", "出了内部错误，请稍后再试。"},
    {503, "Service Unavailable", "现在连接太多，请稍后再试。"},
};

const StatusText& statusText(int status) {
  for (const StatusText& entry : kStatusTexts)
    if (entry.status == status) return entry;
  static constexpr StatusText kOther{0, "Error", "无法完成这个请求。"};
  return kOther;
}

std::string htmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// After a launch token is taken: the page that goes on to "/" as a navigation of our own origin,
// so the SameSite cookie just set is sent with it (a redirect would still count as the other
// site's navigation when the launch file started it).
constexpr const char* kForwardPage =
    "<!DOCTYPE html><html lang=\"zh-Hans\"><meta charset=\"utf-8\">"
    "<meta http-equiv=\"refresh\" content=\"0;url=/\"><title>Quillory</title>"
    "<p><a href=\"/\">继续</a></p></html>";

}  // namespace

std::string errorPage(int status, std::string_view text) {
  const std::string sentence = htmlEscape(text.empty() ? statusText(status).text : text);
  return "<!DOCTYPE html><html lang=\"zh-Hans\"><meta charset=\"utf-8\"><title>Quillory</title>"
         "<p>" + sentence + "</p></html>\n";
}

std::string refusalAnswer(int status) {
  const std::string body = errorPage(status);
  return "HTTP/1.1 " + std::to_string(status) + " " + statusText(status).reason +
         "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\nContent-Security-Policy: " + kPagePolicy +
         "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\n\r\n" + body;
}

void sendJson(httplib::Response& response, const nlohmann::json& body, int status) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                       "application/json; charset=utf-8");
}

void sendAsset(httplib::Response& response, std::string_view path, std::string_view body) {
  const char* type = path.ends_with(".js")    ? "text/javascript; charset=utf-8"
                     : path.ends_with(".css") ? "text/css; charset=utf-8"
                                              : kHtml;
  response.set_content(std::string(body), type);
}

// The HTTP library's server, as the parser, router and writer of one request on a connection
// the Front hands over.
class LocalServer::Http : public httplib::Server {
 public:
  void serve(httplib::Stream& stream) {
    bool closed = false;
    process_request(stream, true, closed, [](httplib::Request&) {});
  }
  // Streamed answers (event streams) go on while this holds a socket; stop() ends them.
  void setServing(bool serving, int fd) { svr_sock_ = serving ? fd : INVALID_SOCKET; }
};

LocalServer::LocalServer(LocalServerOptions options)
    : options_(std::move(options)),
      http_(std::make_unique<Http>()),
      front_(options_.limits, [this](Connection& connection) { http_->serve(connection); }, refusalAnswer) {
  Http& http = *http_;
  http.set_payload_max_length(options_.bodyLimit);
  http.set_default_headers({
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
  });

  http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    using Result = httplib::Server::HandlerResponse;
    const auto refuse = [&](int status, std::string_view text) {
      response.status = status;
      response.set_content(errorPage(status, text), kHtml);
      return Result::Handled;
    };
    if (!hostAllowed(request.get_header_value("Host"), port()) ||
        (request.has_header("Origin") && !originAllowed(request.get_header_value("Origin"), port())))
      return refuse(403, kForeignText);
    // The launch address: its token, taken once, becomes the cookie. It may come from a launch
    // file (another site to the browser), which is why Sec-Fetch-Site is not asked here: the
    // token itself is the proof.
    if (request.method == "GET" && request.path == "/" && request.has_param("k")) {
      const bool fresh = book_ && book_->redeem(request.get_param_value("k"), unixNow());
      if (!fresh && !allowed(request)) return refuse(403, options_.refusedText);
      if (options_.onAllowed) options_.onAllowed();
      if (fresh)
        response.set_header("Set-Cookie", cookieName() + "=" + secret_ + "; Path=/; HttpOnly; SameSite=Strict");
      response.set_content(kForwardPage, kHtml);
      return Result::Handled;
    }
    if (!fetchSiteAllowed(request.get_header_value("Sec-Fetch-Site"))) return refuse(403, kForeignText);
    if (!allowed(request)) return refuse(403, options_.refusedText);
    // A post must say it is JSON: a plain HTML form elsewhere cannot send that.
    if (request.method == "POST" && !request.get_header_value("Content-Type").starts_with("application/json"))
      return refuse(415, {});
    if (options_.onAllowed) options_.onAllowed();
    return Result::Unhandled;
  });

  http.set_post_routing_handler([this](const httplib::Request&, httplib::Response& response) {
    if (!response.has_header("Content-Security-Policy"))
      response.set_header("Content-Security-Policy", options_.policy.empty() ? kPagePolicy : options_.policy);
    if (!response.has_header("X-Frame-Options")) response.set_header("X-Frame-Options", "DENY");
  });

  http.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request&, httplib::Response& response) {
        if (!response.body.empty() || response.status < 400) return httplib::Server::HandlerResponse::Unhandled;
        response.set_content(errorPage(response.status), kHtml);
        return httplib::Server::HandlerResponse::Handled;
      }));

  http.set_exception_handler([](const httplib::Request& request, httplib::Response& response,
                                std::exception_ptr error) {
    std::string what = "unknown";
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& exception) {
      what = exception.what();
    } catch (...) {
    }
    Log::write("local web server: request " + request.path + " failed: " + what);
    response.status = 500;
    response.set_content(errorPage(500), kHtml);
  });
}

LocalServer::~LocalServer() { stop(); }

httplib::Server& LocalServer::http() { return *http_; }

bool LocalServer::start(int port) {
  const std::optional<std::string> secret = randomHex(32);
  const std::optional<std::string> key = randomHex(32);
  if (!secret || !key) {
    errno = EAGAIN;
    return false;
  }
  secret_ = *secret;
  book_ = std::make_unique<TokenBook>(*key);
  if (!front_.bind(port)) return false;
  // The key lets a later program of the user's open this page (a second `quillory`, the
  // settings page opening the reader); a server whose key cannot be written still opens itself.
  if (!options_.root.empty() && !writeKey(options_.root, options_.name, *key))
    Log::write("local web server: cannot write " + keyFile(options_.root, options_.name).string());
  http_->setServing(true, front_.listeningSocket());
  return true;
}

void LocalServer::run() { front_.run(); }

void LocalServer::stop() {
  http_->setServing(false, -1);
  front_.stop();
}

std::string LocalServer::address() const { return "http://127.0.0.1:" + std::to_string(port()) + "/"; }

std::optional<std::string> LocalServer::printedAddress() const {
  if (!book_) return std::nullopt;
  return launchAddress(address(), book_->key(), kPrintedLife);
}

bool LocalServer::open(const std::string& opener) const {
  return book_ && openPageWithKey(opener, options_.root, options_.name, address(), book_->key());
}

void LocalServer::serve(httplib::Stream& stream) { http_->serve(stream); }

bool LocalServer::redeem(std::string_view token) const { return book_ && book_->redeem(token, unixNow()); }

std::string LocalServer::cookieName() const {
  // The port in the name: cookies are shared by every port of 127.0.0.1, and two servers (two
  // storage roots) must not take each other's.
  return "qy_" + options_.name + "_" + std::to_string(port());
}

bool LocalServer::allowed(const httplib::Request& request) const {
  const std::string name = cookieName();
  for (auto [it, end] = request.headers.equal_range("Cookie"); it != end; ++it)
    for (const std::string& value : cookieValues(it->second, name))
      if (sameSecret(value, secret_)) return true;
  return false;
}

}  // namespace qy::web
