// Stamp-cached loading and atomic saving of config.json.
#include "core/config/config_store.h"

#include <cmath>
#include <string>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"
#include "core/config/paths.h"
#include "core/config/storage_root.h"

namespace qy {

ConfigStore::Store::Store(std::filesystem::path root)
    : root_(std::move(root)), file_(root_ / "config.json") {}

int64_t ConfigStore::Store::reads() const {
  MutexLock guard(lock_);
  return reads_;
}

Config ConfigStore::Store::load() {
  MutexLock guard(lock_);
  // A root that is not the user's own has no settings file as far as we are concerned.
  const auto root = OwnDirectory::open(root_, {.followOwnLink = true});
  const std::optional<FileStamp> stamp =
      root.ok() ? fileStampAt(root.fd.get(), "config.json") : std::nullopt;
  // Absent and absent are equal: a missing file is not looked for again until it appears.
  if (cached_ && stamp == cachedStamp_) return *cached_;
  Config cfg;
  ++reads_;
  if (stamp) {
    auto read = FileIO::readAt(root.fd.get(), "config.json", kMaxFileBytes);
    if (read.status == FileIO::ReadStatus::ok) {
      if (auto decoded = Config::decode(read.content)) cfg = std::move(*decoded);
    }
  }
  cached_ = cfg;
  cachedStamp_ = stamp;
  return cfg;
}

bool ConfigStore::Store::save(const Config& cfg) {
  MutexLock guard(lock_);
  Paths::ensureDirectory(root_ / "cache");
  // JSON has no NaN or infinity: such a record cannot be encoded, and writing null in its place
  // would report a value as saved that reads back as another.
  if (!std::isfinite(cfg.firstPaintSeconds)) return false;
  const std::string bytes = cfg.encode();

  const auto root = OwnDirectory::open(root_, {.followOwnLink = true});
  // The temporary file is created 0600, so the renamed file has that mode from the start.
  if (!root.ok() || !FileIO::writeAtomicallyAt(root.fd.get(), "config.json", bytes, /*sync=*/true))
    return false;
  cached_.reset();
  cachedStamp_.reset();
  return true;
}

namespace ConfigStore {

namespace {
Store& processStore() {
  static Store store(Paths::root());
  return store;
}
}  // namespace

Config load() { return StorageRoot::process().usable ? processStore().load() : Config{}; }
bool save(const Config& cfg) { return StorageRoot::process().usable && processStore().save(cfg); }

}  // namespace ConfigStore
}  // namespace qy
