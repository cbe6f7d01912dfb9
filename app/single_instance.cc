// SingleInstance; see single_instance.h.
#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/config/paths.h"

namespace qy::app {
namespace {

// An address is one short line; more is not ours.
constexpr size_t kAddressLimit = 4096;

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& root) {
  Paths::ensureDirectory(root / "cache");
  fd_ = ::open((root / "settings-app.lock").c_str(),
               O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    first_ = true;
    return;
  }
  first_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::~SingleInstance() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::string> SingleInstance::running() const {
  if (first_ || fd_ < 0) return std::nullopt;
  char buffer[kAddressLimit];
  const ssize_t n = ::pread(fd_, buffer, sizeof buffer, 0);
  if (n <= 0) return std::nullopt;
  std::string address(buffer, static_cast<size_t>(n));
  const size_t end = address.find('\n');
  if (end == std::string::npos) return std::nullopt;  // not completely written yet
  address.resize(end);
  if (!address.starts_with("http://127.0.0.1:")) return std::nullopt;
  return address;
}

void SingleInstance::publish(const std::string& url) {
  if (!first_ || fd_ < 0) return;
  const std::string line = url + "\n";
  if (::ftruncate(fd_, 0) != 0) return;
  (void)!::pwrite(fd_, line.data(), line.size(), 0);
}

}  // namespace qy::app
