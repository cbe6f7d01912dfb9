// Raw connections to the service's socket for tests and benchmarks.
#include "support/raw_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qy::test {

int connectRaw(const std::filesystem::path& path, bool nonBlocking) {
  sockaddr_un address{};
  if (path.native().size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.native().size());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendPatiently(int fd, std::string_view bytes, std::chrono::milliseconds patience) {
  while (!bytes.empty()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(patience.count())) <= 0) return false;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace qy::test
