// Paths: where the shared storage directory and its files are. The root is resolved once per
// process, on first use (thread-safe), from QY_HOME, else $XDG_DATA_HOME/Quillory, else
// ~/.local/share/Quillory; it is never recomputed. ensure() creates the directories (0700).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qy::Paths {

// The application's identifier; the extension's is this plus ".Ext".
inline constexpr std::string_view appBundleID = "org.quillory.Quillory";

const std::filesystem::path& root();
std::filesystem::path config();  // root/config.json
std::filesystem::path log();     // root/qy.log
std::filesystem::path cache();   // root/cache

// Whether a name in the cache directory is a cache file's: a key (24 and 10 lower-case
// hexadecimal digits joined by "-") plus ".json". Nothing else there is ever treated as ours.
bool isCacheFileName(std::string_view name);

// Creates the cache directory and its missing parents with mode 0700; never reports failure.
void ensure();
// The same for a cache directory below another root (tests and tools that work on a copy).
void ensureDirectory(const std::filesystem::path& directory);

// How the root is resolved, given the environment and the user database's home directory.
// `env` returns a variable's value or nothing when unset.
std::filesystem::path resolveRoot(
    const std::function<std::optional<std::string>(const char*)>& env,
    const std::optional<std::string>& passwdHome);

}  // namespace qy::Paths
