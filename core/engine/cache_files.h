// Translation cache files: one JSON object per key (source text → translation) in the cache
// directory, written whole through a temporary file and a rename (0600), read tolerantly (a file
// that is missing, unreadable, too large or not an object of strings reads as nothing). Plus the
// maintenance of a storage root's cache that the settings application and the engine use:
// measure, clear, prune by age.
//
// The cache directory is used only when it is a directory of the user's own, inside a root of
// the user's own, that nobody else can write (see OwnDirectory); files are opened relative to its
// descriptor and never through a symbolic link. Maintenance touches only regular files directly
// in it whose names are cache-file names (a key, 24 and 10 lower-case hexadecimal digits joined
// by "-", plus ".json") or temporaries of such names: anything else there, folders and links
// included, is left alone and not counted.
// Free functions; safe from any thread (files are replaced atomically).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/doc/translatable_doc.h"
#include "core/engine/clock.h"

namespace qy {

namespace CacheFiles {

// Files are pruned once they are this old.
inline constexpr auto kMaxAge = std::chrono::seconds(2'592'000);  // 30 days
// A file dated further ahead than this was written under a clock since set back: its age cannot
// be told, so it is pruned too (else it would stay until the clock catches up, for years maybe).
inline constexpr auto kMaxFutureDate = std::chrono::hours(24);
// A temporary file older than this was left by a process killed while storing.
inline constexpr auto kStaleTemporaryAge = std::chrono::hours(1);
// Real entries are kilobytes, a long message a few megabytes; a larger file is treated as absent
// (and replaced by the next store) instead of being read into memory.
inline constexpr size_t kMaxFileBytes = 64 * 1024 * 1024;

// root/cache.
std::filesystem::path directory(const std::filesystem::path& root);
// Whether a file name is a cache file's: a key in its exact form plus ".json".
bool isCacheFileName(std::string_view name);

// A key holding '/' or NUL names no file: reading it gives nothing, writing it fails and removing
// it does nothing.

std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key);

// A cache file's content as a dictionary; nothing unless it is a JSON object of strings.
std::optional<TranslationDict> decode(std::string_view json);

// The dictionary stored for the key in the cache directory, or nothing when the file is missing,
// not a regular file, larger than kMaxFileBytes or not a JSON object whose members are all
// strings.
std::optional<TranslationDict> read(const std::filesystem::path& directory, const std::string& key);
// Writes the dictionary atomically (0600); false when it could not be written.
bool write(const std::filesystem::path& directory, const std::string& key,
           const TranslationDict& dict);
// Deletes the key's file; errors are ignored.
void remove(const std::filesystem::path& directory, const std::string& key);

struct Size {
  int64_t files = 0;
  int64_t bytes = 0;
  bool operator==(const Size&) const = default;
};
// The cache files of a storage root and the sum of their sizes; (0, 0) when there is no usable
// cache directory.
Size size(const std::filesystem::path& root);
// Deletes every cache file of a storage root and the temporaries left by killed processes; the
// cache directory exists afterwards (when the root is usable).
void clear(const std::filesystem::path& root);
// Deletes the cache files of a storage root last modified more than kMaxAge before `now`, and
// temporaries older than kStaleTemporaryAge.
void prune(const std::filesystem::path& root, Date now);

}  // namespace CacheFiles
}  // namespace qy
