// Translation cache files: one JSON object per key (source text → translation) in the cache
// directory, written whole through a temporary file and a rename (0600), read tolerantly (a file
// that is missing, unreadable or not an object of strings reads as nothing). Plus the directory
// maintenance the settings application and the engine use: prune by age, clear, measure.
// Free functions of a directory; safe from any thread (files are replaced atomically).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/doc/translatable_doc.h"
#include "core/engine/clock.h"

namespace qy {

namespace CacheFiles {

// A key holding '/' or NUL names no file: reading it gives nothing, writing it fails and removing
// it does nothing.

std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key);

// A cache file's content as a dictionary; nothing unless it is a JSON object of strings.
std::optional<TranslationDict> decode(std::string_view json);

// The dictionary stored for the key, or nothing when the file is missing or not a JSON object
// whose members are all strings.
std::optional<TranslationDict> read(const std::filesystem::path& directory, const std::string& key);
// Writes the dictionary atomically (0600); false when it could not be written.
bool write(const std::filesystem::path& directory, const std::string& key,
           const TranslationDict& dict);
// Deletes the key's file; errors are ignored.
void remove(const std::filesystem::path& directory, const std::string& key);

// Deletes every entry (hidden ones too) last modified before `cutoff`.
void prune(const std::filesystem::path& directory, Date cutoff);

struct Size {
  int64_t files = 0;
  int64_t bytes = 0;
  bool operator==(const Size&) const = default;
};
// Entries directly in the directory and the sum of their sizes; (0, 0) when it cannot be listed.
Size measure(const std::filesystem::path& directory);

}  // namespace CacheFiles
}  // namespace qy
