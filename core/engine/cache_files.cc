// Reading, writing and maintaining translation cache files.
#include "core/engine/cache_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"
#include "core/config/paths.h"

namespace qy::CacheFiles {
namespace {

constexpr std::string_view kExtension = ".json";

// A key names a file directly in the directory: keys come back from the host with a click, so
// one that could reach elsewhere ("../config" names "../config.json") names no file at all.
bool isFileName(const std::string& key) {
  return !key.empty() && key.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// The cache directory, accepted only when it and the root it sits in are the user's own.
OwnDirectory::Opened openCache(const std::filesystem::path& directory) {
  auto cache = OwnDirectory::open(directory);
  if (!cache.ok()) return cache;
  if (auto root = OwnDirectory::parentOf(cache.fd.get(), directory.parent_path()); !root.ok())
    return root;
  return cache;
}

}  // namespace

std::filesystem::path directory(const std::filesystem::path& root) { return root / "cache"; }

bool isCacheFileName(std::string_view name) { return Paths::isCacheFileName(name); }

std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key) {
  return directory / (key + std::string(kExtension));
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
  const auto cache = openCache(directory);
  if (!cache.ok()) return std::nullopt;
  auto file = FileIO::readAt(cache.fd.get(), key + std::string(kExtension), kMaxFileBytes);
  if (file.status != FileIO::ReadStatus::ok) return std::nullopt;
  return decode(file.content);
}

bool write(const std::filesystem::path& directory, const std::string& key,
           const TranslationDict& dict) {
  if (!isFileName(key)) return false;
  nlohmann::json object = nlohmann::json::object();
  for (const auto& [source, translation] : dict) object[source] = translation;
  // Texts are valid UTF-8 by construction; a stray invalid byte in a translation is written as
  // U+FFFD rather than losing the whole file.
  const std::string bytes = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  const auto cache = openCache(directory);
  return cache.ok() && FileIO::writeAtomicallyAt(cache.fd.get(), key + std::string(kExtension),
                                                 bytes, /*sync=*/false);
}

void remove(const std::filesystem::path& directory, const std::string& key) {
  if (!isFileName(key)) return;
  if (const auto cache = openCache(directory); cache.ok())
    ::unlinkat(cache.fd.get(), (key + std::string(kExtension)).c_str(), 0);
}

Size size(const std::filesystem::path& root) {
  Size size;
  const auto cache = openCache(directory(root));
  if (!cache.ok()) return size;
  FileIO::forEachEntry(cache.fd.get(), [&](const std::string& name, const struct stat* info) {
    if (!info || !S_ISREG(info->st_mode) || !isCacheFileName(name)) return;
    ++size.files;
    size.bytes += static_cast<int64_t>(info->st_size);
  });
  return size;
}

void clear(const std::filesystem::path& root) {
  Paths::ensureDirectory(directory(root));
  const auto cache = openCache(directory(root));
  if (!cache.ok()) return;
  const int dir = cache.fd.get();
  FileIO::forEachEntry(dir, [&](const std::string& name, const struct stat* info) {
    if (info && S_ISREG(info->st_mode) && isCacheFileName(name)) ::unlinkat(dir, name.c_str(), 0);
  });
  FileIO::removeStaleTemporaries(dir, isCacheFileName,
                                 std::chrono::system_clock::now() - kStaleTemporaryAge);
}

void prune(const std::filesystem::path& root, Date now) {
  const auto cache = openCache(directory(root));
  if (!cache.ok()) return;
  const int dir = cache.fd.get();
  const Date cutoff = now - kMaxAge;
  const Date future = now + kMaxFutureDate;
  FileIO::forEachEntry(dir, [&](const std::string& name, const struct stat* info) {
    if (!info || !S_ISREG(info->st_mode) || !isCacheFileName(name)) return;
    const Date modified = FileIO::modifiedTime(*info);
    if (modified < cutoff || modified > future) ::unlinkat(dir, name.c_str(), 0);
  });
  FileIO::removeStaleTemporaries(dir, isCacheFileName, now - kStaleTemporaryAge);
}

}  // namespace qy::CacheFiles
