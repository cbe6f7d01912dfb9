// POSIX implementation of the whole-file helpers.
#include "core/base/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace qy {
namespace {

constexpr std::string_view kTemporaryLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// As many random letters as mkstemp uses: 62^6 names, so a clash is retried, never waited out.
constexpr size_t kTemporarySuffix = 6;
constexpr int kTemporaryAttempts = 100;

int64_t nanoseconds(const timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

FileStamp stampOf(const struct stat& info) {
  return {static_cast<int64_t>(info.st_dev), static_cast<int64_t>(info.st_ino),
          static_cast<int64_t>(info.st_uid), static_cast<int64_t>(info.st_mode),
          static_cast<int64_t>(info.st_size), nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim)};
}

std::string randomSuffix() {
  unsigned char bytes[kTemporarySuffix] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet (early boot): the address and the clock still make clashes unlikely, and
    // O_EXCL turns a clash into another attempt.
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    auto seed = static_cast<uint64_t>(nanoseconds(now)) ^ static_cast<uint64_t>(::getpid()) << 32;
    for (auto& byte : bytes) byte = static_cast<unsigned char>(seed >>= 5);
  }
  std::string suffix;
  for (unsigned char byte : bytes) suffix += kTemporaryLetters[byte % kTemporaryLetters.size()];
  return suffix;
}

bool writeAll(int fd, std::string_view bytes) {
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

std::optional<FileStamp> fileStampAt(int directory, const std::string& name) {
  struct stat info {};
  if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return stampOf(info);
}

std::optional<FileStamp> fileStamp(const std::filesystem::path& path) {
  return fileStampAt(AT_FDCWD, path.string());
}

namespace FileIO {

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int Descriptor::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

ReadResult readAt(int directory, const std::string& name, size_t maxBytes) {
  // Non-blocking, so that a FIFO in the file's place cannot hang the reader; no link is followed,
  // so nothing outside the directory is ever read in the file's name.
  Descriptor fd(::openat(directory, name.c_str(),
                         O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  if (!fd.valid()) {
    if (errno == ENOENT || errno == ENOTDIR) return {ReadStatus::missing, {}};
    if (errno == ELOOP) return {ReadStatus::notRegular, {}};
    return {ReadStatus::failed, {}};
  }
  return readOpen(fd.get(), maxBytes);
}

ReadResult readOpen(int fd, size_t maxBytes) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return {ReadStatus::failed, {}};
  if (!S_ISREG(info.st_mode)) return {ReadStatus::notRegular, {}};
  if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > maxBytes)
    return {ReadStatus::tooLarge, {}};
  // One buffer of the size fstat gave; a file that grows meanwhile is read up to that size (the
  // files we read are replaced whole, never written in place).
  ReadResult result{ReadStatus::ok, std::string(static_cast<size_t>(info.st_size), '\0')};
  size_t done = 0;
  while (done < result.content.size()) {
    ssize_t n = ::read(fd, result.content.data() + done, result.content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {ReadStatus::failed, {}};
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  result.content.resize(done);
  return result;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, size_t maxBytes) {
  ReadResult result = readAt(AT_FDCWD, path.string(), maxBytes);
  if (result.status != ReadStatus::ok) return std::nullopt;
  return std::move(result.content);
}

bool writeAtomicallyAt(int directory, const std::string& name, std::string_view bytes,
                       bool sync) {
  std::string temporary;
  Descriptor fd;
  for (int attempt = 0; attempt < kTemporaryAttempts && !fd.valid(); ++attempt) {
    temporary = "." + name + "." + randomSuffix();
    // O_EXCL with O_NOFOLLOW: a link planted under the name is never written through. Created
    // 0600 from the start, so the content is never readable by others.
    fd = Descriptor(::openat(directory, temporary.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid() && errno != EEXIST) return false;
  }
  if (!fd.valid()) return false;
  bool ok = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), bytes);
  if (ok && sync) ok = ::fsync(fd.get()) == 0;
  ok = ::close(fd.release()) == 0 && ok;
  if (!ok || ::renameat(directory, temporary.c_str(), directory, name.c_str()) != 0) {
    ::unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  return true;
}

bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync) {
  const std::filesystem::path parent = path.parent_path().empty() ? "." : path.parent_path();
  Descriptor directory(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) return false;
  return writeAtomicallyAt(directory.get(), path.filename().string(), bytes, sync);
}

std::optional<std::string_view> temporaryTarget(std::string_view name) {
  // "." + target + "." + six letters or digits, with a target of at least one character.
  if (name.size() < 1 + 1 + 1 + kTemporarySuffix || name[0] != '.') return std::nullopt;
  const size_t dot = name.size() - kTemporarySuffix - 1;
  if (name[dot] != '.') return std::nullopt;
  for (char ch : name.substr(dot + 1)) {
    if (kTemporaryLetters.find(ch) == std::string_view::npos) return std::nullopt;
  }
  return name.substr(1, dot - 1);
}

bool forEachEntry(int directory,
                  const std::function<void(const std::string& name, const struct stat* info)>& visit) {
  // fdopendir takes the descriptor it is given: hand it a duplicate of ours.
  int listing = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return false;
  DIR* dir = ::fdopendir(listing);
  if (!dir) {
    ::close(listing);
    return false;
  }
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    const bool known = ::fstatat(directory, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
    visit(name, known ? &info : nullptr);
  }
  ::closedir(dir);
  return true;
}

std::chrono::system_clock::time_point modifiedTime(const struct stat& info) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(nanoseconds(info.st_mtim))));
}

void removeStaleTemporaries(int directory, const std::function<bool(std::string_view)>& isOurs,
                            std::chrono::system_clock::time_point cutoff) {
  forEachEntry(directory, [&](const std::string& name, const struct stat* info) {
    if (!info || !S_ISREG(info->st_mode)) return;
    const auto target = temporaryTarget(name);
    if (!target || !isOurs(*target) || modifiedTime(*info) >= cutoff) return;
    ::unlinkat(directory, name.c_str(), 0);
  });
}

}  // namespace FileIO
}  // namespace qy
