// The failure record beside the cache: `failures.json` in the storage root, so that the pause
// after a failed job also holds for the next process (mail filters run one process a message).
// One JSON object, key → {"at": seconds since 1970, "errors": [text, …]}, owner-only (0600),
// replaced atomically, opened without following a symbolic link and read only up to a size limit.
// Entries older than the pause are dropped when the file is read or rewritten.
//
// Free functions of a path; any thread. A rewrite holds an exclusive lock on `failures.lock`
// beside the file, so that processes recording failures at the same moment (one mail filter
// per message) keep each other's entries.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine/clock.h"

namespace qy::FailureFile {

struct Entry {
  Date at;
  std::vector<std::string> errors;  // never empty
  bool operator==(const Entry&) const = default;
};

std::filesystem::path pathIn(const std::filesystem::path& root);
// The lock of the record at `file`: its name with ".lock" in place of ".json".
std::filesystem::path lockPathOf(const std::filesystem::path& file);

// The entries failed less than `pause` before `now`; empty when the file is missing, too large,
// a symbolic link, or not the expected JSON.
std::map<std::string, Entry> read(const std::filesystem::path& file, Date now,
                                  std::chrono::seconds pause);

// The entries of a record's text that failed less than `pause` before `now` (and no later than
// `pause` after it: a date far ahead comes from a wrong clock).
std::map<std::string, Entry> decode(std::string_view text, Date now, std::chrono::seconds pause);
// The record's text for `entries`.
std::string encode(const std::map<std::string, Entry>& entries);

// Sets the key's entry (or removes it when `entry` is empty), keeping the others that are still
// within the pause. The file is only written when something changed.
void update(const std::filesystem::path& file, const std::string& key,
            const std::optional<Entry>& entry, Date now, std::chrono::seconds pause);

}  // namespace qy::FailureFile
