// POSIX implementation of the whole-file helpers.
#include "core/base/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qy::FileIO {

std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
  // Non-blocking, so that a FIFO in the file's place cannot hang the reader.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content(static_cast<size_t>(info.st_size), '\0');
  size_t done = 0;
  for (;;) {
    if (done == content.size()) content.resize(content.size() + 65536);  // the file grew
    ssize_t n = ::read(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  content.resize(done);
  return content;
}

bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync) {
  // mkstemp creates the file 0600 from the start: the content is never readable by others.
  std::string name = ".";
  name.append(path.filename().string()).append(".XXXXXX");
  std::string temporary = (path.parent_path() / name).string();
  int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0600) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (ok && sync) ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace qy::FileIO
