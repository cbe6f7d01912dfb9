// Whole-file reads and atomic replacement, for the small files the system keeps (settings,
// translation caches, the translators file), done relative to a directory descriptor.
//
// Reads never follow a symbolic link, never block on a FIFO or device, and read at most a named
// limit: the size fstat reports is checked first and read into a buffer of that size, once.
// Writes go to an owner-only temporary file (".<name>.XXXXXX") in the target's directory that is
// then renamed over the target, so a reader sees the old file or the new one, complete; a
// process killed in between leaves the temporary behind, which removeStaleTemporaries() finds.
// Free functions and a move-only descriptor; any thread.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qy {

// What identifies one version of a file: which file it is, its owner, type and permissions, its
// size, and when its content (modified) or its attributes (changed) last changed, to the
// nanosecond. Owner and permissions are held themselves: the change time may not move when two
// changes fall into one tick of the file system's clock.
struct FileStamp {
  int64_t device = 0;
  int64_t inode = 0;
  int64_t owner = 0;
  int64_t mode = 0;
  int64_t size = 0;
  int64_t modified = 0;  // nanoseconds since the epoch
  int64_t changed = 0;   // nanoseconds since the epoch
  bool operator==(const FileStamp&) const = default;
};

// The stamp of `name` in the directory `directory` (a descriptor, or AT_FDCWD for a path); a
// symbolic link is stamped itself, not followed. Nothing when its attributes cannot be read.
std::optional<FileStamp> fileStampAt(int directory, const std::string& name);
std::optional<FileStamp> fileStamp(const std::filesystem::path& path);

namespace FileIO {

// An open file descriptor, closed when the object goes away.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor();
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  int release();

 private:
  int fd_ = -1;
};

enum class ReadStatus {
  ok,
  missing,     // no such file
  notRegular,  // a symbolic link, directory, FIFO, device, …
  tooLarge,    // larger than the limit: not read at all
  failed,      // could not be opened or read
};

struct ReadResult {
  ReadStatus status = ReadStatus::failed;
  std::string content;  // only for ok
};

// Reads the regular file `name` in `directory` (a descriptor, or AT_FDCWD for a path), without
// following a symbolic link, when it holds at most `maxBytes`.
ReadResult readAt(int directory, const std::string& name, size_t maxBytes);
// The same for a file already open (read from its current offset).
ReadResult readOpen(int fd, size_t maxBytes);
// The content of a regular file of at most `maxBytes`; nothing otherwise.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, size_t maxBytes);

// Replaces `name` in `directory` with `bytes` through a 0600 temporary file in the same directory
// (synced to disk first when `sync`). False, with the target left as it was, when anything fails.
bool writeAtomicallyAt(int directory, const std::string& name, std::string_view bytes, bool sync);
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync);

// The target a temporary name of writeAtomically stands for (".config.json.a8Zq0P" →
// "config.json"); nothing for any other name.
std::optional<std::string_view> temporaryTarget(std::string_view name);

// Deletes the regular files directly in `directory` that are temporaries of a target `isOurs`
// accepts and were last modified before `cutoff`. Never follows a link or enters a folder.
void removeStaleTemporaries(int directory, const std::function<bool(std::string_view)>& isOurs,
                            std::chrono::system_clock::time_point cutoff);

// Calls visit(name, info) for every entry directly in `directory` except "." and ".."; `info` is
// the entry's own lstat (null when it cannot be read). False when it cannot be listed.
bool forEachEntry(int directory,
                  const std::function<void(const std::string& name, const struct stat* info)>& visit);

// A stat's modification time as a system-clock time.
std::chrono::system_clock::time_point modifiedTime(const struct stat& info);

}  // namespace FileIO
}  // namespace qy
