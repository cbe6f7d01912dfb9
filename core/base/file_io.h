// Whole-file reads and atomic replacement, for the small files the system keeps (settings,
// translation caches). Reads never block on a FIFO or device; writes go to an owner-only
// temporary file in the target's directory that is then renamed over the target, so a reader
// sees the old file or the new one, complete. Any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qy::FileIO {

// The content of a regular file; nothing when it is missing, unreadable or not a regular file.
std::optional<std::string> readRegularFile(const std::filesystem::path& path);

// Replaces `path` with `bytes` through a 0600 temporary file (synced to disk first when `sync`).
// False, with `path` left as it was, when anything fails.
bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, bool sync);

}  // namespace qy::FileIO
