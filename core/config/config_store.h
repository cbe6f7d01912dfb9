// ConfigStore: loads and saves the settings record as config.json in the storage root.
//
// Loading is cheap when nothing changed: the root is opened and checked (it must be the user's
// own, see StorageRoot) and the file's stamp (identity, size, modification and change time to the
// nanosecond) compared with the one seen at the last read; only a changed stamp reads and
// decodes the file again. The file is never read through a symbolic link, nor when larger than
// kMaxFileBytes. A bad or missing file loads as the defaults and is remembered under its stamp, so it is
// not read again until it changes. Saving writes a 0600 temporary file in the same directory and
// renames it over config.json, so readers in any process see the old file or the new one, whole.
//
// ConfigStore::Store is the store for one root; ConfigStore::load()/save() use the process-wide store
// at Paths::root(), and only when StorageRoot::process() accepted it (defaults and false
// otherwise). All operations are serialised by the store's own non-recursive lock and may
// be called from any thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/base/file_io.h"
#include "core/base/thread_annotations.h"
#include "core/config/config.h"

namespace qy::ConfigStore {

class Store {
 public:
  // Settings are a few hundred bytes; a file far larger is not ours to read.
  static constexpr size_t kMaxFileBytes = 1024 * 1024;

  explicit Store(std::filesystem::path root);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  Config load() QY_EXCLUDES(lock_);
  bool save(const Config& cfg) QY_EXCLUDES(lock_);

  const std::filesystem::path& file() const { return file_; }
  // How many times load() read the file (for tests of the stamp cache).
  int64_t reads() const QY_EXCLUDES(lock_);

 private:
  const std::filesystem::path root_;
  const std::filesystem::path file_;
  mutable Mutex lock_;
  std::optional<Config> cached_ QY_GUARDED_BY(lock_);
  std::optional<FileStamp> cachedStamp_ QY_GUARDED_BY(lock_);
  int64_t reads_ QY_GUARDED_BY(lock_) = 0;
};

// The process-wide store's operations.
Config load();
bool save(const Config& cfg);

}  // namespace qy::ConfigStore
