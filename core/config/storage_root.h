// StorageRoot: opens the storage directory for use, once per process, and says why when it is
// refused.
//
// Everything the system keeps there (settings, the translation cache, the log) must be the
// user's own: the root and its cache directory have to be directories of the user's that nobody
// else can write. Opening creates them 0700 when missing, sets one of the user's with looser
// permissions to 0700, and refuses one that belongs to someone else (or a link to elsewhere that
// is not the user's). A refused root is not used at all: settings load as the defaults, nothing
// is cached and nothing is logged; the message is still shown. Opening also removes the temporary
// files of config.json and of cache files left behind by a process killed while saving.
//
// process() is what the programs' settings store and log consult; open() checks any root (the
// settings application, tests, a diagnosis command). Any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace qy::StorageRoot {

struct Check {
  bool usable = false;
  std::string refusal;  // why the root is not used (names the directory), when it is not
  bool operator==(const Check&) const = default;
};

// Temporary files of a save younger than this may still be in flight in another process.
inline constexpr auto kStaleTemporaryAge = std::chrono::hours(1);

// Opens `root` for use as described above; `now` dates temporary files.
Check open(const std::filesystem::path& root,
           std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// Paths::root() opened once, on first call; a refusal is written to standard error, once.
const Check& process();

}  // namespace qy::StorageRoot
