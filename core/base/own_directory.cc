// Opening and checking directories of the user's own.
#include "core/base/own_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qy::OwnDirectory {
namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
// Group and other permission bits: none of them may stay on a directory of ours.
constexpr mode_t kNotOwnerBits = S_IRWXG | S_IRWXO;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;

Opened refused(std::string reason) { return {FileIO::Descriptor(), std::move(reason)}; }

std::string shown(const std::filesystem::path& path) { return path.string(); }

// Checks an open directory, tightening its mode when allowed.
Opened accept(FileIO::Descriptor fd, const std::filesystem::path& shownAs, bool tighten) {
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0)
    return refused("无法读取 " + shown(shownAs) + " 的属性（" + std::strerror(errno) + "）");
  if (!S_ISDIR(info.st_mode)) return refused(shown(shownAs) + " 不是目录");
  if (info.st_uid != ::geteuid())
    return refused(shown(shownAs) + " 属于另一个用户（uid " + std::to_string(info.st_uid) + "）");
  if (tighten && (info.st_mode & kNotOwnerBits) != 0) {
    if (::fchmod(fd.get(), 0700) != 0)
      return refused("无法把 " + shown(shownAs) + " 的权限改为 0700（" + std::strerror(errno) + "）");
  } else if ((info.st_mode & kWritableByOthers) != 0) {
    return refused(shown(shownAs) + " 可被组或其他用户写入");
  }
  return {std::move(fd), {}};
}

Opened openChecked(int parent, const std::string& name, const std::filesystem::path& shownAs,
                   Options options) {
  FileIO::Descriptor fd(::openat(parent, name.c_str(), kDirectoryFlags));
  if (!fd.valid() && errno == ENOENT && options.create) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST)
      return refused("无法创建 " + shown(shownAs) + "（" + std::strerror(errno) + "）");
    fd = FileIO::Descriptor(::openat(parent, name.c_str(), kDirectoryFlags));
  }
  if (!fd.valid() && (errno == ELOOP || errno == ENOTDIR)) {
    // O_NOFOLLOW fails with ELOOP on a link (ENOTDIR on some kernels for O_DIRECTORY).
    struct stat link {};
    if (::fstatat(parent, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0)
      return refused("无法打开 " + shown(shownAs) + "（" + std::strerror(errno) + "）");
    if (!S_ISLNK(link.st_mode)) return refused(shown(shownAs) + " 不是目录");
    if (!options.followOwnLink) return refused(shown(shownAs) + " 是符号链接");
    if (link.st_uid != ::geteuid())
      return refused(shown(shownAs) + " 是属于另一个用户（uid " + std::to_string(link.st_uid) +
                     "）的符号链接");
    fd = FileIO::Descriptor(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  if (!fd.valid()) return refused("无法打开 " + shown(shownAs) + "（" + std::strerror(errno) + "）");
  return accept(std::move(fd), shownAs, options.tighten);
}

}  // namespace

Opened open(const std::filesystem::path& given, Options options) {
  // "/tmp/q/" is the directory q: its last component is still the one to check for a link.
  std::filesystem::path path = given;
  while (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  const std::filesystem::path parent = path.has_parent_path() ? path.parent_path() : ".";
  const std::string name = path.filename().string();
  if (name.empty() || name == "." || name == "..") {
    // "/", "dir/" or "..": the path as a whole, there is no link to look at.
    FileIO::Descriptor fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return refused("无法打开 " + shown(path) + "（" + std::strerror(errno) + "）");
    return accept(std::move(fd), path, options.tighten);
  }
  FileIO::Descriptor parentFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parentFd.valid()) {
    if (errno == ENOENT && options.create)
      return refused("无法创建 " + shown(path) + "（上级目录不存在）");
    return refused("无法打开 " + shown(path) + "（" + std::strerror(errno) + "）");
  }
  return openChecked(parentFd.get(), name, path, options);
}

Opened openAt(int parent, const std::string& name, const std::filesystem::path& shownAs,
              Options options) {
  return openChecked(parent, name, shownAs, options);
}

Opened parentOf(int directory, const std::filesystem::path& shownAs) {
  FileIO::Descriptor fd(::openat(directory, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return refused("无法打开 " + shown(shownAs) + "（" + std::strerror(errno) + "）");
  return accept(std::move(fd), shownAs, /*tighten=*/false);
}

}  // namespace qy::OwnDirectory
