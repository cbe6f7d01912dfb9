// The local web layer on real sockets: request checks, launch tokens, request heads, and a
// LocalServer with a few routes, visited as a browser, a slow client, a flood of headers and
// another user would.
#include "web/local_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "web/request_guard.h"
#include "web/request_head.h"

namespace qy::web {
namespace {

using qy::testing::TempDir;

TEST(RequestGuard, OnlyThisServerByItsOwnNamesAndOurOwnPages) {
  EXPECT_TRUE(hostAllowed("127.0.0.1:8123", 8123));
  EXPECT_TRUE(hostAllowed("localhost:8123", 8123));
  for (const char* host : {"127.0.0.1", "127.0.0.1:8124", "evil.example:8123", "",
                           "127.0.0.1:8123.evil.example", "LOCALHOST:8123"})
    EXPECT_FALSE(hostAllowed(host, 8123)) << host;
  EXPECT_TRUE(originAllowed("http://localhost:8123", 8123));
  for (const char* origin : {"null", "http://127.0.0.1:80", "https://127.0.0.1:8123", "http://127.0.0.1:8123/"})
    EXPECT_FALSE(originAllowed(origin, 8123)) << origin;
  for (const char* site : {"", "same-origin", "none"}) EXPECT_TRUE(fetchSiteAllowed(site)) << site;
  // Another port of 127.0.0.1 is the same site to the browser.
  for (const char* site : {"same-site", "cross-site", "bogus"}) EXPECT_FALSE(fetchSiteAllowed(site)) << site;
  EXPECT_TRUE(sameSecret("abc", "abc"));
  EXPECT_FALSE(sameSecret("abd", "abc"));
  EXPECT_FALSE(sameSecret("", ""));
}

TEST(RequestGuard, EveryCookieOfTheNameIsFound) {
  struct Case {
    const char* name;
    const char* header;
    std::vector<std::string> want;
  };
  const Case kCases[] = {
      {"one among others", "a=1; qy_x=abc; b=2", {"abc"}},
      {"a narrower path's first", "qy_x=planted; qy_x=abc", {"planted", "abc"}},
      {"prefix of another name", "xqy_x=abc; qy_x_1=d", {}},
      {"name without value", "qy_x", {}},
      {"empty value", "qy_x=", {""}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(cookieValues(c.header, "qy_x"), c.want);
  }
}

TEST(LaunchToken, TakenOnceWithinItsLifeAndOnlyWithOurKey) {
  const std::string key(64, 'a');
  const int64_t now = 1'800'000'000;
  TokenBook book(key);
  const std::string token = *mintToken(key, now, std::chrono::seconds(60));
  EXPECT_TRUE(book.redeem(token, now));
  EXPECT_FALSE(book.redeem(token, now + 1)) << "a second use";

  std::string tampered = *mintToken(key, now, std::chrono::seconds(60));
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  struct Case {
    const char* name;
    std::string token;
    int64_t at;
  };
  const Case kCases[] = {
      {"expired", *mintToken(key, now, std::chrono::seconds(60)), now + 60},
      {"claims too long a life", *mintToken(key, now, kLongestLife + std::chrono::seconds(5)), now},
      {"another key", *mintToken(std::string(64, 'b'), now, std::chrono::seconds(60)), now},
      {"signature changed", tampered, now},
      {"empty", "", now},
      {"garbage", "1-2-3", now},
      {"no parts", std::string(200, 'f'), now},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(book.redeem(c.token, c.at));
  }
}

TEST(RequestHead, EndsAndLimits) {
  const HeadLimits limits{.bytes = 64, .lines = 4};
  struct Case {
    const char* name;
    std::string input;
    HeadState want;
  };
  const Case kCases[] = {
      {"whole", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", HeadState::complete},
      {"whole with a body after", "POST / HTTP/1.1\r\nA: b\r\n\r\n{\"x\":1}", HeadState::complete},
      {"nothing yet", "", HeadState::incomplete},
      {"half a method", "GE", HeadState::incomplete},
      {"no end yet", "GET / HTTP/1.1\r\nHost: a\r\n", HeadState::incomplete},
      {"too many lines", "GET / HTTP/1.1\r\na: 1\r\nb: 2\r\nc: 3\r\nd: 4\r\n", HeadState::tooManyLines},
      {"bare line feeds count", "GET / HTTP/1.1\na\nb\nc\nd\n", HeadState::tooManyLines},
      {"no end within the bytes", "GET /" + std::string(80, 'a'), HeadState::tooLarge},
      {"a TLS greeting", std::string("\x16\x03\x01\x02\x00", 5), HeadState::malformed},
      {"lower-case method", "get / HTTP/1.1\r\n\r\n", HeadState::malformed},
      {"no space after the method", "GET\r\n\r\n", HeadState::malformed},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(checkHead(c.input, limits), c.want);
  }
  size_t end = 0;
  ASSERT_EQ(checkHead("GET / HTTP/1.1\r\n\r\nrest", limits, &end), HeadState::complete);
  EXPECT_EQ(end, 18u);
}

TEST(RequestHead, SocketOwnerFromTheKernelTable) {
  const std::string table =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 1 1\n"
      "   1: 0100007F:C350 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 2 1\n"
      "   2: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 00000000     0        0 3 1\n"
      "   3: 0100007F:C351 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  bad        0 4 1\n";
  EXPECT_EQ(socketOwner(table, "0100007F:C350", "0100007F:1F90"), 1000u);
  EXPECT_EQ(socketOwner(table, "0100007F:1F90", "0100007F:C350"), 0u);
  EXPECT_EQ(socketOwner(table, "0100007F:C351", "0100007F:1F90"), std::nullopt);
  EXPECT_EQ(socketOwner(table, "0100007F:C352", "0100007F:1F90"), std::nullopt);
  EXPECT_EQ(socketOwner("", "0100007F:C350", "0100007F:1F90"), std::nullopt);
}

// A blocking TCP connection to 127.0.0.1:port; reads give up after a minute so a fault fails
// the test instead of hanging it.
int connectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const timeval limit{60, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string readAll(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) out.append(buffer, static_cast<size_t>(n));
  return out;
}

// One request on a connection of its own; the whole answer (empty when the connection was
// reset before one came).
std::string roundTrip(int port, std::string_view request) {
  const int fd = connectTo(port);
  if (fd < 0) return {};
  (void)sendAll(fd, request);
  std::string answer = readAll(fd);
  ::close(fd);
  return answer;
}

int statusOf(std::string_view answer) {
  return answer.size() > 12 && answer.starts_with("HTTP/1.1 ") ? std::stoi(std::string(answer.substr(9, 3))) : 0;
}

std::string headerOf(std::string_view answer, std::string_view name) {
  const std::string key = "\r\n" + std::string(name) + ": ";
  const size_t at = answer.find(key);
  if (at == std::string_view::npos) return {};
  const size_t end = answer.find("\r\n", at + key.size());
  return std::string(answer.substr(at + key.size(), end - at - key.size()));
}

class LocalServerTest : public ::testing::Test {
 protected:
  void start(FrontLimits limits = {}) {
    LocalServerOptions options;
    options.name = "test";
    options.root = root_.path();
    options.policy = "default-src 'none'";
    options.refusedText = "请用启动时给出的链接打开。";
    options.limits = limits;
    server_ = std::make_unique<LocalServer>(options);
    server_->http().Get("/api/ping", [](const httplib::Request&, httplib::Response& res) {
      sendJson(res, {{"pong", true}});
    });
    server_->http().Get("/boom", [](const httplib::Request&, httplib::Response&) {
      throw std::runtime_error("handler failed");
    });
    server_->http().Post("/api/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "application/json");
    });
    ASSERT_TRUE(server_->start(0));
    port_ = server_->port();
    thread_ = std::thread([this] { server_->run(); });
    // The launch token gives the cookie, as a browser's first visit does.
    const std::string printed = *server_->printedAddress();
    token_ = printed.substr(printed.find("?k=") + 3);
    const std::string first = get("/?k=" + token_, "");
    ASSERT_EQ(statusOf(first), 200) << first;
    const std::string setCookie = headerOf(first, "Set-Cookie");
    cookie_ = setCookie.substr(0, setCookie.find(';'));
    ASSERT_TRUE(cookie_.starts_with("qy_test_" + std::to_string(port_) + "=")) << setCookie;
  }
  void TearDown() override {
    if (server_) server_->stop();
    if (thread_.joinable()) thread_.join();
  }

  std::string get(const std::string& path, const std::string& extra, const std::string& host = {}) {
    return roundTrip(port_, "GET " + path + " HTTP/1.1\r\nHost: " +
                               (host.empty() ? "127.0.0.1:" + std::to_string(port_) : host) + "\r\n" + extra + "\r\n");
  }
  std::string withCookie() const { return "Cookie: " + cookie_ + "\r\n"; }

  TempDir root_;
  std::unique_ptr<LocalServer> server_;
  std::thread thread_;
  int port_ = 0;
  std::string token_, cookie_;
};

TEST_F(LocalServerTest, LaunchTokenOpensOnceAndTheCookieAfterwards) {
  start();
  const std::string again = get("/?k=" + token_, "");
  EXPECT_EQ(statusOf(again), 403) << "a second use of the token";
  EXPECT_NE(again.find("请用启动时给出的链接打开。"), std::string::npos);
  EXPECT_EQ(statusOf(get("/api/ping", withCookie())), 200);
  // Someone who has the page open may follow an old launch address: the cookie lets them in.
  EXPECT_EQ(statusOf(get("/?k=" + token_, withCookie())), 200);

  const std::string answer = get("/api/ping", withCookie());
  for (const char* header : {"Content-Security-Policy: default-src 'none'", "X-Frame-Options: DENY",
                             "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer",
                             "Connection: close"})
    EXPECT_NE(answer.find(header), std::string::npos) << header;
  EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos);
}

TEST_F(LocalServerTest, ACookieOfTheSameNameWithANarrowerPathDoesNotLockTheUserOut) {
  start();
  const std::string name = cookie_.substr(0, cookie_.find('='));
  // The browser sends the planted cookie (narrower path) first.
  EXPECT_EQ(statusOf(get("/api/ping", "Cookie: " + name + "=planted; " + cookie_ + "\r\n")), 200);
  EXPECT_EQ(statusOf(get("/api/ping", "Cookie: " + name + "=planted\r\n")), 403);
}

TEST_F(LocalServerTest, RefusalsAndErrorsArePagesInChinese) {
  start();
  const std::string port = std::to_string(port_);
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  const auto request = [&](const std::string& method, const std::string& path, const std::string& headers) {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + headers + "\r\n";
  };
  const Case kCases[] = {
      {"no cookie", request("GET", "/api/ping", ""), 403},
      {"foreign host", "GET /api/ping HTTP/1.1\r\nHost: evil.example:" + port + "\r\n" + withCookie() + "\r\n", 403},
      {"foreign origin", request("GET", "/api/ping", withCookie() + "Origin: http://evil.example\r\n"), 403},
      {"another local port", request("GET", "/api/ping", withCookie() + "Origin: http://127.0.0.1:1\r\n"), 403},
      {"same site", request("GET", "/api/ping", withCookie() + "Sec-Fetch-Site: same-site\r\n"), 403},
      {"cross site", request("GET", "/api/ping", withCookie() + "Sec-Fetch-Site: cross-site\r\n"), 403},
      {"a form post", request("POST", "/api/echo", withCookie() + "Content-Type: text/plain\r\nContent-Length: 2\r\n") + "{}", 415},
      {"unknown page", request("GET", "/nowhere", withCookie()), 404},
      {"a handler throws", request("GET", "/boom", withCookie()), 500},
      {"not HTTP", std::string("\x16\x03\x01\x00\x10", 5), 400},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string answer = roundTrip(port_, c.request);
    EXPECT_EQ(statusOf(answer), c.status) << answer;
    EXPECT_NE(answer.find("<html lang=\"zh-Hans\">"), std::string::npos) << answer;
  }
  EXPECT_EQ(statusOf(roundTrip(port_, request("POST", "/api/echo",
                                                  withCookie() + "Content-Type: application/json\r\nContent-Length: 2\r\n") + "{}")),
            200);
}

TEST_F(LocalServerTest, SlowClientsDoNotHoldThePage) {
  FrontLimits limits;
  limits.workers = 2;
  start(limits);
  // Forty connections that never finish their head, as many as the old thread pool and more.
  std::vector<int> slow;
  for (int i = 0; i < 40; ++i) {
    const int fd = connectTo(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "GET /api/ping HTTP/1.1\r\nHost: 127.0.0.1"));
    slow.push_back(fd);
  }
  EXPECT_EQ(statusOf(get("/api/ping", withCookie())), 200);
  for (int fd : slow) ::close(fd);
}

TEST_F(LocalServerTest, HeadsOverTheLimitsAreRefusedEarly) {
  FrontLimits limits;
  limits.connections = 4;
  limits.headTime = std::chrono::milliseconds(300);  // short: this very limit is tested
  start(limits);
  // 200,000 header lines: refused after the first hundred, not read into memory.
  std::string flood = "GET /api/ping HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  for (int i = 0; i < 200'000; ++i) flood += "X-" + std::to_string(i) + ": y\r\n";
  const int flooding = connectTo(port_);
  (void)sendAll(flooding, flood);  // may fail once the server has closed the connection
  const std::string answer = readAll(flooding);
  ::close(flooding);
  EXPECT_TRUE(answer.empty() || statusOf(answer) == 431) << answer.substr(0, 200);

  // A head that stalls ends with 408 once its time is up.
  const int stalled = connectTo(port_);
  ASSERT_TRUE(sendAll(stalled, "GET /api/ping HTTP/1.1\r\n"));
  EXPECT_EQ(statusOf(readAll(stalled)), 408);
  ::close(stalled);

  // Beyond the connection limit, a newcomer is turned away at once.
  std::vector<int> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(connectTo(port_));
    ASSERT_TRUE(sendAll(held.back(), "G"));
  }
  EXPECT_EQ(statusOf(get("/api/ping", withCookie())), 503);
  for (int fd : held) ::close(fd);
}

TEST_F(LocalServerTest, TheBrowserGetsALaunchFileNotTheSecret) {
  start();
  const TempDir dir;
  const std::filesystem::path opener = dir / "opener";
  // Written whole, then renamed: the test never reads it half written.
  qy::testing::writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir / "args.tmp").string() + "'\nmv '" +
                                     (dir / "args.tmp").string() + "' '" + (dir / "args").string() + "'\n");
  std::filesystem::permissions(opener, std::filesystem::perms::owner_all);
  ASSERT_TRUE(server_->open(opener.string()));
  for (int i = 0; i < 6000 && !std::filesystem::exists(dir / "args"); ++i) usleep(10'000);
  const std::string args = qy::testing::readFile(dir / "args");
  const std::filesystem::path launch = root_ / "open-test.html";
  EXPECT_EQ(args, "file://" + launch.string() + "\n");
  EXPECT_EQ(qy::testing::modeOf(launch), 0600u);
  EXPECT_EQ(qy::testing::modeOf(keyFile(root_.path(), "test")), 0600u);
  // The launch file forwards to the address with a fresh token, which works once.
  const std::string page = qy::testing::readFile(launch);
  const size_t at = page.find("?k=");
  ASSERT_NE(at, std::string::npos);
  const std::string token = page.substr(at + 3, page.find('"', at) - at - 3);
  EXPECT_EQ(statusOf(get("/?k=" + token, "")), 200);
  EXPECT_EQ(statusOf(get("/?k=" + token, "")), 403);
}

TEST_F(LocalServerTest, AnotherUserIsRefusedBeforeAByteIsRead) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to act as a second user (setpriv)";
  start();
  // Another user's connections, thirty of them kept open: each gets its refusal at once,
  // without sending a byte (so whatever it would send, the cookie included, is never read).
  const std::string script =
      "import socket\n"
      "kept, lines = [], set()\n"
      "for i in range(30):\n"
      "  s = socket.create_connection(('127.0.0.1', " + std::to_string(port_) + "))\n"
      "  kept.append(s)\n"
      "  data = b''\n"
      "  while True:\n"
      "    d = s.recv(4096)\n"
      "    if not d: break\n"
      "    data += d\n"
      "  lines.add(data.split(b'\\r\\n')[0].decode())\n"
      "print(*sorted(lines), sep='|', end='')\n";
  const qy::testing::ProcessResult other = qy::testing::runProcess(
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c", script}, "");
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(other.out, "HTTP/1.1 403 Forbidden");
  EXPECT_EQ(statusOf(get("/api/ping", withCookie())), 200);
}

}  // namespace
}  // namespace qy::web
