// LocalHttp: the HTTP client that reaches the user's local translation servers, and the rule that
// keeps it on this machine. Mail text goes to these servers, so a request is made only to a
// loopback address (127.0.0.0/8, ::1, or "localhost" when every address it resolves to is one),
// over plain http://, with no proxy (the environment's http_proxy is never read), no redirect and
// a new connection per request. The address is resolved here and the connection is made to the
// resolved address, so nothing between the check and the connect can send it elsewhere. Any other
// host is refused before anything is looked up or opened; only "localhost" is ever resolved.
//
// Every request is bounded by a time limit (connecting, waiting for the answer and reading it) and
// by a size limit on the answer. Pure functions over a process-wide count of connections opened;
// any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qy::platform::LocalHttp {

// An http:// URL taken apart: host without brackets, port (80 when not written), and the path
// before which every request path is put ("/v1" for "http://127.0.0.1:8080/v1/").
struct Url {
  std::string host;
  int port = 80;
  std::string basePath;
  bool operator==(const Url&) const = default;
};

// Nothing unless `url` is "http://HOST[:PORT][/PATH]" with a host that is an IPv4 address, a
// bracketed IPv6 address or a name; user names, queries and fragments are not accepted.
std::optional<Url> parseUrl(std::string_view url);

// "127.0.0.1:11434", "[::1]:8080": how messages name a server.
std::string authority(const Url& url);

// Why `url` may not be used, in Chinese and naming it; nothing when it is an http:// URL of a
// loopback address.
std::optional<std::string> refusal(std::string_view url);

// The largest answer read: a batch of translations is far smaller.
inline constexpr size_t kMaxAnswerBytes = 64u * 1024 * 1024;

struct Request {
  std::string method = "GET";  // "GET" or "POST"
  std::string path;            // after the URL's base path, e.g. "/api/chat"
  std::string body;            // POST: JSON
  std::vector<std::pair<std::string, std::string>> headers;
  std::chrono::milliseconds limit{120'000};
  size_t maxBytes = kMaxAnswerBytes;
};

enum class Failure {
  none,         // an HTTP answer came (any status)
  refused,      // the URL may not be used: nothing was opened
  unreachable,  // nothing accepts connections there
  timedOut,     // no complete answer within the limit
  tooLarge,     // the answer passed maxBytes
  broken,       // the connection failed otherwise
};

struct Response {
  Failure failure = Failure::none;
  std::string detail;  // for `refused`, the reason; otherwise a short technical note
  int status = 0;
  std::string body;
};

// Sends one request to the server at `url`. Never throws.
Response send(std::string_view url, const Request& request);

// How many connections this process has begun to open to servers (before connecting), for the
// proof that a refused entry opens none.
size_t connectionsOpened();

}  // namespace qy::platform::LocalHttp
