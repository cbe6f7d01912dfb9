// LocalServer: what the local web pages (the settings application, the mail reader) share
// around their routes. It serves HTTP on 127.0.0.1 behind a Front (bounded connections, heads
// and time; other users refused), lets a browser in with a launch token (see launch.h) that it
// exchanges once for a cookie (qy_NAME_PORT; HttpOnly, SameSite=Strict), and refuses, with a
// Chinese page, every request
//   - whose Host is not this server's own address (DNS rebinding),
//   - whose Origin, when present, is another,
//   - whose Sec-Fetch-Site says another site sent it (another port of 127.0.0.1 included),
//   - without a cookie of ours holding this launch's secret (any one of that name counts),
//   - that posts anything but JSON.
// Every answer carries nosniff, no referrer, no caching, same-origin resources and, unless a
// route sets its own, the server's Content-Security-Policy and a ban on framing. Errors and
// exceptions of handlers become Chinese pages too. A server declares only its routes on http().
//
// Threads: routes are declared before start(); run() serves on the calling thread until stop()
// (any thread). Handlers run on the Front's workers.
#pragma once

#include <httplib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "web/front.h"
#include "web/launch.h"

namespace qy::web {

struct LocalServerOptions {
  std::string name;              // "settings", "reader": names the cookie and the key file
  std::filesystem::path root;    // the storage root, where the key and launch files go
  std::string policy;            // Content-Security-Policy of answers that set none
  std::string refusedText;       // what a visitor without the secret is told (Chinese)
  size_t bodyLimit = 64 * 1024;  // request bodies are small JSON objects
  FrontLimits limits;
  std::function<void()> onAllowed;  // called for every request that passed the checks
};

class LocalServer {
 public:
  explicit LocalServer(LocalServerOptions options);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Where the routes are declared.
  httplib::Server& http();

  // Makes this launch's secret and key file and binds 127.0.0.1:port (0: a free port). False
  // when the port cannot be bound (errno tells why) or no secret can be made.
  bool start(int port);
  void run();
  void stop();

  int port() const { return front_.port(); }
  // http://127.0.0.1:PORT/ without any secret.
  std::string address() const;
  // The address with a token, to print for the user; nothing when no token can be made.
  std::optional<std::string> printedAddress() const;
  // Opens the page in the user's browser through a launch file (launch.h); false on failure.
  bool open(const std::string& opener) const;
  // Takes a launch token (tests use it to see a second use refused).
  bool redeem(std::string_view token) const;
  // Runs one request read from `stream` through the checks and the routes, as the Front's
  // workers do with a connection (the request fuzzer feeds bytes this way).
  void serve(httplib::Stream& stream);

 private:
  class Http;
  std::string cookieName() const;
  bool allowed(const httplib::Request& request) const;

  const LocalServerOptions options_;
  std::unique_ptr<Http> http_;
  Front front_;
  std::string secret_;               // the cookie's value
  std::unique_ptr<TokenBook> book_;  // launch tokens, signed with the key
};

// A Chinese HTML page for a refusal or an error: the status's own sentence, or `text`.
std::string errorPage(int status, std::string_view text = {});
// A whole HTTP answer with that page, for the Front to write before a request was read.
std::string refusalAnswer(int status);

// JSON answers: the body (invalid UTF-8 replaced) with its type.
void sendJson(httplib::Response& response, const nlohmann::json& body, int status = 200);
// An embedded file as the answer, typed by its name's ending.
void sendAsset(httplib::Response& response, std::string_view path, std::string_view body);

}  // namespace qy::web
