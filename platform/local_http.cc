// URL checks, resolution to loopback addresses, and one bounded request through cpp-httplib.
#include "platform/local_http.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cstring>

#include "core/base/unicode.h"

namespace qy::platform::LocalHttp {
namespace {

std::atomic<size_t> opened{0};

constexpr std::chrono::milliseconds kTimerSlack{20};

bool isLoopback4(const in_addr& address) { return (ntohl(address.s_addr) >> 24) == 127; }

bool isLoopback6(const in6_addr& address) {
  if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
  // ::ffff:127.x.y.z is the IPv4 loopback seen through an IPv6 socket.
  return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
}

// Whether a host written as an address literal is a loopback one; nothing when it is no literal.
std::optional<bool> literalLoopback(const std::string& host) {
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return isLoopback4(v4);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) return isLoopback6(v6);
  return std::nullopt;
}

bool isLocalhostName(std::string_view host) {
  std::string lower(host);
  for (char& c : lower) c = Unicode::asciiLower(c);
  return lower == "localhost" || lower == "localhost.";
}

// The addresses "localhost" resolves to, as literals; empty when it does not resolve.
// The second member is false when any of them is not a loopback address.
std::pair<std::vector<std::string>, bool> resolveLocalhost(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::vector<std::string> addresses;
  bool allLoopback = true;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {addresses, false};
  for (const addrinfo* a = found; a; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a->ai_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      allLoopback = allLoopback && isLoopback4(in->sin_addr);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    } else if (a->ai_family == AF_INET6) {
      const auto* in = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      allLoopback = allLoopback && isLoopback6(in->sin6_addr);
      ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
    } else {
      continue;
    }
    bool seen = false;
    for (const auto& known : addresses) seen = seen || known == text;
    if (!seen) addresses.emplace_back(text);
  }
  ::freeaddrinfo(found);
  return {addresses, allLoopback && !addresses.empty()};
}

struct Checked {
  std::optional<Url> url;
  std::vector<std::string> addresses;  // to connect to, in order
  std::optional<std::string> refusal;
};

Checked check(std::string_view text) {
  Checked out;
  const std::string shown(text);
  if (text.substr(0, 7) != "http://") {
    const bool secure = text.substr(0, 8) == "https://";
    out.refusal = "翻译服务地址 " + shown +
                  (secure ? " 是 https:// 地址：只能使用本机的 http:// 地址"
                          : " 不是 http:// 地址：只能使用本机的 http:// 地址");
    return out;
  }
  out.url = parseUrl(text);
  if (!out.url) {
    out.refusal = "翻译服务地址 " + shown + " 无法识别：应写成 http://127.0.0.1:端口";
    return out;
  }
  const std::string& host = out.url->host;
  if (const std::optional<bool> loopback = literalLoopback(host)) {
    if (*loopback) out.addresses.push_back(host);
    else out.refusal = "翻译服务地址 " + shown + " 不在本机：只能使用 127.0.0.1、::1 或 localhost，邮件内容不会发往别处";
    return out;
  }
  // Only "localhost" is looked up: resolving any other name would itself ask the network.
  if (!isLocalhostName(host)) {
    out.refusal = "翻译服务地址 " + shown + " 不在本机：只能使用 127.0.0.1、::1 或 localhost，邮件内容不会发往别处";
    return out;
  }
  auto [addresses, allLoopback] = resolveLocalhost(host);
  if (addresses.empty())
    out.refusal = "翻译服务地址 " + shown + " 中的 localhost 无法解析";
  else if (!allLoopback)
    out.refusal = "翻译服务地址 " + shown + " 中的 localhost 解析到了本机以外的地址";
  else
    out.addresses = std::move(addresses);
  if (out.refusal) out.addresses.clear();
  return out;
}

bool allowedPathByte(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '?' && c != '#' && c != '\\' && c != '@';
}

}  // namespace

std::optional<Url> parseUrl(std::string_view text) {
  if (text.substr(0, 7) != "http://") return std::nullopt;
  std::string_view rest = text.substr(7);
  const size_t slash = rest.find('/');
  std::string_view hostPort = rest.substr(0, slash);
  std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  Url url;
  std::string_view portText;
  if (hostPort.starts_with('[')) {
    const size_t close = hostPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    url.host = std::string(hostPort.substr(1, close - 1));
    in6_addr v6{};
    if (::inet_pton(AF_INET6, url.host.c_str(), &v6) != 1) return std::nullopt;
    const std::string_view after = hostPort.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      portText = after.substr(1);
      if (portText.empty()) return std::nullopt;
    }
  } else {
    const size_t colon = hostPort.find(':');
    url.host = std::string(hostPort.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = hostPort.substr(colon + 1);
      if (portText.empty()) return std::nullopt;
    }
    if (url.host.empty()) return std::nullopt;
    for (unsigned char c : url.host)
      if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_')) return std::nullopt;
  }
  if (!portText.empty()) {
    if (portText.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9') return std::nullopt;
      port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    url.port = port;
  }
  for (unsigned char c : path)
    if (!allowedPathByte(c)) return std::nullopt;
  while (path.ends_with('/')) path.remove_suffix(1);
  url.basePath = std::string(path);
  return url;
}

std::string authority(const Url& url) {
  const bool v6 = url.host.find(':') != std::string::npos;
  return (v6 ? "[" + url.host + "]" : url.host) + ":" + std::to_string(url.port);
}

std::optional<std::string> refusal(std::string_view url) { return check(url).refusal; }

size_t connectionsOpened() { return opened.load(); }

Response send(std::string_view urlText, const Request& request) {
  Checked checked = check(urlText);
  if (checked.refusal) return {Failure::refused, *checked.refusal, 0, {}};
  const Url& url = *checked.url;
  const std::string host = authority(url);  // the Host header names the server as written
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + request.limit;
  Response out;
  for (size_t i = 0; i < checked.addresses.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {Failure::timedOut, "time limit", 0, {}};
    // A client of httplib's own, not its Client: that one would read a scheme and follow it.
    httplib::ClientImpl client(checked.addresses[i], url.port);
    client.set_keep_alive(false);
    client.set_follow_location(false);
    client.set_connection_timeout(left);
    client.set_read_timeout(left);
    client.set_write_timeout(left);
    client.set_socket_options([](int socket) {
      opened.fetch_add(1);
      const int on = 1;
      ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    });

    httplib::Request req;
    req.method = request.method;
    req.path = url.basePath + request.path;
    req.set_header("Host", host);
    req.set_header("Accept", "application/json");
    for (const auto& [name, value] : request.headers) req.set_header(name, value);
    if (request.method == "POST") {
      req.body = request.body;
      req.set_header("Content-Type", "application/json");
    }
    bool tooLarge = false;
    bool late = false;
    req.progress = [&](uint64_t current, uint64_t) {
      tooLarge = current > request.maxBytes;
      late = std::chrono::steady_clock::now() >= deadline;
      return !tooLarge && !late;
    };
    httplib::Response res;
    httplib::Error error = httplib::Error::Success;
    const bool sent = client.send(req, res, error);
    if (sent) return {Failure::none, {}, res.status, std::move(res.body)};
    if (tooLarge) return {Failure::tooLarge, "answer too large", 0, {}};
    // httplib reports a read that waited out its limit as a failed read; its wait is rounded to
    // whole milliseconds and may end a moment before our deadline.
    if (late || std::chrono::steady_clock::now() + kTimerSlack >= deadline)
      return {Failure::timedOut, "time limit", 0, {}};
    if (error == httplib::Error::ConnectionTimeout) return {Failure::timedOut, "time limit", 0, {}};
    if (error == httplib::Error::Connection) {
      out = {Failure::unreachable, httplib::to_string(error), 0, {}};
      continue;  // another address of "localhost" may be the one listening
    }
    return {Failure::broken, httplib::to_string(error), 0, {}};
  }
  return out;
}

}  // namespace qy::platform::LocalHttp
