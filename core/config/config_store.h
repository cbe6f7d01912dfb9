// ConfigStore: loads and saves the settings record as config.json in the storage root.
//
// Loading is cheap when nothing changed: one stat of the file, compared with the modification
// time (full precision) seen at the last read; only a changed stamp reads and decodes the file
// again. A bad or missing file loads as the defaults and is remembered under its stamp, so it is
// not read again until it changes. Saving writes a 0600 temporary file in the same directory and
// renames it over config.json, so readers in any process see the old file or the new one, whole.
//
// SettingsStore is the store for one root; ConfigStore::load()/save() use the process-wide store
// at Paths::root(). All operations are serialised by the store's own non-recursive lock and may
// be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>

#include "core/config/config.h"

namespace qy {

// A file's modification time to the nanosecond.
struct FileStamp {
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

// The modification time of a file (following symbolic links), or nothing when its attributes
// cannot be read.
std::optional<FileStamp> fileStamp(const std::filesystem::path& path);

class SettingsStore {
 public:
  explicit SettingsStore(std::filesystem::path root);
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  Config load();
  bool save(const Config& cfg);

  const std::filesystem::path& file() const { return file_; }
  // How many times load() read the file (for tests of the stamp cache).
  int64_t reads() const;

 private:
  const std::filesystem::path root_;
  const std::filesystem::path file_;
  mutable std::mutex lock_;
  std::optional<Config> cached_;            // guarded by lock_
  std::optional<FileStamp> cachedStamp_;    // guarded by lock_
  int64_t reads_ = 0;                       // guarded by lock_
};

namespace ConfigStore {
Config load();
bool save(const Config& cfg);
}  // namespace ConfigStore

}  // namespace qy
