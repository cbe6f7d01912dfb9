// Request heads and loopback peers; see request_head.h.
#include "web/request_head.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>

namespace qy::web {
namespace {

// /proc/net/tcp grows with every socket on the machine; a table larger than this is not read.
constexpr size_t kTableLimit = 16 * 1024 * 1024;

std::string_view nextField(std::string_view& line) {
  size_t start = line.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const size_t end = line.find(' ');
  const std::string_view field = line.substr(0, end);
  line = end == std::string_view::npos ? std::string_view() : line.substr(end);
  return field;
}

std::string kernelAddress(const sockaddr_in& address) {
  // The kernel prints the address's four bytes as one number in host order, then the port.
  char text[16];
  std::snprintf(text, sizeof text, "%08X:%04X", static_cast<unsigned>(address.sin_addr.s_addr),
                static_cast<unsigned>(ntohs(address.sin_port)));
  return text;
}

}  // namespace

HeadState checkHead(std::string_view received, const HeadLimits& limits, size_t* headEnd) {
  // The request line starts with a method: capital letters, then a space. Anything else is
  // refused at its first bytes, without waiting for an end that will not come.
  size_t method = 0;
  while (method < received.size() && received[method] >= 'A' && received[method] <= 'Z') ++method;
  if (method < received.size() && (method == 0 || received[method] != ' ' || method > 16))
    return HeadState::malformed;
  const std::string_view window = received.substr(0, limits.bytes);
  const size_t end = window.find("\r\n\r\n");
  const std::string_view head = end == std::string_view::npos ? window : window.substr(0, end + 2);
  size_t lines = 0;
  for (char c : head) lines += c == '\n';
  if (lines > limits.lines) return HeadState::tooManyLines;
  if (end == std::string_view::npos)
    return received.size() >= limits.bytes ? HeadState::tooLarge : HeadState::incomplete;
  if (headEnd) *headEnd = end + 4;
  return HeadState::complete;
}

std::optional<uid_t> socketOwner(std::string_view table, std::string_view local, std::string_view remote) {
  while (!table.empty()) {
    const size_t end = table.find('\n');
    std::string_view line = table.substr(0, end);
    table = end == std::string_view::npos ? std::string_view() : table.substr(end + 1);
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid …
    (void)nextField(line);
    if (nextField(line) != local || nextField(line) != remote) continue;
    for (int skip = 0; skip < 4; ++skip) (void)nextField(line);
    const std::string_view uid = nextField(line);
    uid_t value = 0;
    const auto [ptr, error] = std::from_chars(uid.data(), uid.data() + uid.size(), value);
    if (error != std::errc() || ptr != uid.data() + uid.size() || uid.empty()) return std::nullopt;
    return value;
  }
  return std::nullopt;
}

std::optional<uid_t> loopbackPeerUid(int fd) {
  sockaddr_in ours{}, theirs{};
  socklen_t size = sizeof ours;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &size) != 0 || ours.sin_family != AF_INET)
    return std::nullopt;
  size = sizeof theirs;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &size) != 0 || theirs.sin_family != AF_INET)
    return std::nullopt;
  const int table = ::open("/proc/net/tcp", O_RDONLY | O_CLOEXEC);
  // Without the table (a sandbox without /proc) the peer cannot be told: it counts as the user,
  // and the launch token and the cookie are what guard the page.
  if (table < 0) return ::getuid();
  std::string text;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(table, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() + static_cast<size_t>(n) > kTableLimit) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(table);
  // The peer's own socket: its local address is our remote one.
  return socketOwner(text, kernelAddress(theirs), kernelAddress(ours));
}

}  // namespace qy::web
