// The log writer thread and its file work.
#include "core/config/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"
#include "core/base/unicode.h"
#include "core/config/paths.h"
#include "core/config/storage_root.h"

namespace qy {

std::string rfc3339(std::chrono::system_clock::time_point when) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

LogWriter::LogWriter(std::filesystem::path file, std::filesystem::path ensureDirectory)
    : file_(std::move(file)),
      old_(file_.parent_path() / "qy.old.log"),
      ensureDirectory_(std::move(ensureDirectory)) {}

LogWriter::~LogWriter() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void LogWriter::write(std::string_view message) {
  std::string line = rfc3339(std::chrono::system_clock::now());
  line.reserve(line.size() + message.size() + 2);
  line += ' ';
  // The file is UTF-8 text: bytes that are not (a header copied into a message) are repaired.
  if (Unicode::isValidUtf8(message)) {
    line += message;
  } else {
    line += Unicode::repairUtf8(message);
  }
  line += '\n';
  {
    std::lock_guard guard(lock_);
    if (stopping_) return;
    queue_.push_back(std::move(line));
    ++queued_;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void LogWriter::flush() {
  std::unique_lock guard(lock_);
  const uint64_t target = queued_;
  drained_.wait(guard, [&] { return handled_ >= target || !thread_.joinable(); });
}

void LogWriter::run() {
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
    while (!queue_.empty()) {
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      guard.unlock();
      append(line);
      guard.lock();
      ++handled_;
      drained_.notify_all();
    }
    if (stopping_) return;
  }
}

void LogWriter::append(const std::string& line) {
  if (!ensureDirectory_.empty()) Paths::ensureDirectory(ensureDirectory_);
  // The log's directory must be the user's own, and neither the log nor its old generation is
  // ever reached through a link: a planted qy.log link must not carry our lines elsewhere.
  const auto directory = OwnDirectory::open(file_.parent_path(), {.followOwnLink = true});
  if (!directory.ok()) return;
  const int dir = directory.fd.get();
  const std::string name = file_.filename().string();
  const std::string oldName = old_.filename().string();
  struct stat info {};
  if (::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && info.st_size > kRotateAbove) {
    ::unlinkat(dir, oldName.c_str(), 0);
    ::renameat(dir, name.c_str(), dir, oldName.c_str());
  }
  // Non-blocking, so that a FIFO in the log's place cannot stall the writer for good.
  FileIO::Descriptor fd(::openat(
      dir, name.c_str(),
      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0600));
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return;
  // One write for the whole line: appends from other processes land before or after it.
  ssize_t n;
  do {
    n = ::write(fd.get(), line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

namespace Log {

namespace {
LogWriter& processWriter() {
  static LogWriter writer(Paths::log(), Paths::cache());
  return writer;
}
}  // namespace

// A storage root that is not the user's own gets no log.
void write(std::string_view message) {
  if (StorageRoot::process().usable) processWriter().write(message);
}
void flush() { processWriter().flush(); }

}  // namespace Log
}  // namespace qy
