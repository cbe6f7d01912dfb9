// Stamp-cached loading and atomic saving of config.json.
#include "core/config/config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/config/paths.h"

namespace qy {
namespace {

// Reads a regular file whole. Never blocks on a FIFO or device: it is opened non-blocking and
// anything but a regular file is refused.
std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  content.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::optional<FileStamp> fileStamp(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<int64_t>(info.st_mtim.tv_sec),
                   static_cast<int64_t>(info.st_mtim.tv_nsec)};
}

SettingsStore::SettingsStore(std::filesystem::path root)
    : root_(std::move(root)), file_(root_ / "config.json") {}

int64_t SettingsStore::reads() const {
  std::lock_guard guard(lock_);
  return reads_;
}

Config SettingsStore::load() {
  std::lock_guard guard(lock_);
  std::optional<FileStamp> stamp = fileStamp(file_);
  // Absent and absent are equal: a missing file is not looked for again until it appears.
  if (cached_ && stamp == cachedStamp_) return *cached_;
  Config cfg;
  ++reads_;
  if (auto content = readRegularFile(file_)) {
    if (auto decoded = Config::decode(*content)) cfg = std::move(*decoded);
  }
  cached_ = cfg;
  cachedStamp_ = stamp;
  return cfg;
}

bool SettingsStore::save(const Config& cfg) {
  std::lock_guard guard(lock_);
  Paths::ensureDirectory(root_ / "cache");
  const std::string bytes = cfg.encode();

  // mkstemp creates the file 0600 from the start: the settings are never readable by others.
  std::string temporary = (root_ / ".config.json.XXXXXX").string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temporary.c_str(), file_.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  ::chmod(file_.c_str(), 0600);  // a failure here does not change the result
  cached_.reset();
  cachedStamp_.reset();
  return true;
}

namespace ConfigStore {

namespace {
SettingsStore& processStore() {
  static SettingsStore store(Paths::root());
  return store;
}
}  // namespace

Config load() { return processStore().load(); }
bool save(const Config& cfg) { return processStore().save(cfg); }

}  // namespace ConfigStore
}  // namespace qy
