// Reading, writing and maintaining translation cache files.
#include "core/engine/cache_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

namespace qy::CacheFiles {
namespace {

std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
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
    if (done == content.size()) content.resize(content.size() + 65536);
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

// Calls visit(name, stat) for every entry of the directory except "." and "..".
template <typename Visit>
bool forEachEntry(const std::filesystem::path& directory, Visit visit) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info {};
    bool known = ::fstatat(::dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0;
    visit(name, known ? &info : nullptr);
  }
  ::closedir(dir);
  return true;
}

}  // namespace

std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key) {
  return directory / (key + ".json");
}

std::optional<TranslationDict> read(const std::filesystem::path& directory,
                                    const std::string& key) {
  auto content = readRegularFile(fileFor(directory, key));
  if (!content) return std::nullopt;
  auto json = nlohmann::json::parse(*content, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return std::nullopt;
  TranslationDict dict;
  dict.reserve(json.size());
  for (auto& [source, translation] : json.items()) {
    if (!translation.is_string()) return std::nullopt;
    dict.emplace(source, translation.get<std::string>());
  }
  return dict;
}

bool write(const std::filesystem::path& directory, const std::string& key,
           const TranslationDict& dict) {
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [source, translation] : dict) object[source] = translation;
  // Texts are valid UTF-8 by construction; a stray invalid byte in a translation is written as
  // U+FFFD rather than losing the whole file.
  const std::string bytes = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string temporary = (directory / ("." + key + ".XXXXXX")).string();
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
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), fileFor(directory, key).c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

void remove(const std::filesystem::path& directory, const std::string& key) {
  ::unlink(fileFor(directory, key).c_str());
}

void prune(const std::filesystem::path& directory, Date cutoff) {
  const auto cutoffSeconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
      cutoff.time_since_epoch());
  forEachEntry(directory, [&](const std::string& name, const struct stat* info) {
    if (!info) return;
    auto modified = std::chrono::seconds(info->st_mtim.tv_sec) +
                    std::chrono::nanoseconds(info->st_mtim.tv_nsec);
    if (modified >= cutoffSeconds) return;
    std::filesystem::path path = directory / name;
    std::error_code ignored;
    if (S_ISDIR(info->st_mode)) std::filesystem::remove_all(path, ignored);
    else ::unlink(path.c_str());
  });
}

Size measure(const std::filesystem::path& directory) {
  Size size;
  forEachEntry(directory, [&](const std::string&, const struct stat* info) {
    ++size.files;
    if (info) size.bytes += static_cast<int64_t>(info->st_size);
  });
  return size;
}

}  // namespace qy::CacheFiles
