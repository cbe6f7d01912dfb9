// Reading, writing and maintaining translation cache files.
#include "core/engine/cache_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "core/base/file_io.h"

namespace qy::CacheFiles {
namespace {

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

// A key names a file directly in the directory: keys come back from the host with a click, so
// one that could reach elsewhere ("../config" names "../config.json") names no file at all.
bool isFileName(const std::string& key) {
  return key.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

}  // namespace

std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key) {
  return directory / (key + ".json");
}

std::optional<TranslationDict> decode(std::string_view json) {
  auto object = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  TranslationDict dict;
  dict.reserve(object.size());
  for (auto& [source, translation] : object.items()) {
    if (!translation.is_string()) return std::nullopt;
    dict.emplace(source, translation.get<std::string>());
  }
  return dict;
}

std::optional<TranslationDict> read(const std::filesystem::path& directory,
                                    const std::string& key) {
  if (!isFileName(key)) return std::nullopt;
  auto content = FileIO::readRegularFile(fileFor(directory, key));
  if (!content) return std::nullopt;
  return decode(*content);
}

bool write(const std::filesystem::path& directory, const std::string& key,
           const TranslationDict& dict) {
  if (!isFileName(key)) return false;
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [source, translation] : dict) object[source] = translation;
  // Texts are valid UTF-8 by construction; a stray invalid byte in a translation is written as
  // U+FFFD rather than losing the whole file.
  const std::string bytes = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return FileIO::writeAtomically(fileFor(directory, key), bytes, /*sync=*/false);
}

void remove(const std::filesystem::path& directory, const std::string& key) {
  if (!isFileName(key)) return;
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
