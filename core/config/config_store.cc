// Stamp-cached loading and atomic saving of config.json.
#include "core/config/config_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "core/base/file_io.h"
#include "core/config/paths.h"

namespace qy {

std::optional<FileStamp> fileStamp(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileStamp{static_cast<int64_t>(info.st_mtim.tv_sec),
                   static_cast<int64_t>(info.st_mtim.tv_nsec)};
}

SettingsStore::SettingsStore(std::filesystem::path root)
    : root_(std::move(root)), file_(root_ / "config.json") {}

int64_t SettingsStore::reads() const {
  std::lock_guard guard(lock_);
  return reads_;
}

Config SettingsStore::load() {
  std::lock_guard guard(lock_);
  std::optional<FileStamp> stamp = fileStamp(file_);
  // Absent and absent are equal: a missing file is not looked for again until it appears.
  if (cached_ && stamp == cachedStamp_) return *cached_;
  Config cfg;
  ++reads_;
  if (auto content = FileIO::readRegularFile(file_)) {
    if (auto decoded = Config::decode(*content)) cfg = std::move(*decoded);
  }
  cached_ = cfg;
  cachedStamp_ = stamp;
  return cfg;
}

bool SettingsStore::save(const Config& cfg) {
  std::lock_guard guard(lock_);
  Paths::ensureDirectory(root_ / "cache");
  // JSON has no NaN or infinity: such a record cannot be encoded, and writing null in its place
  // would report a value as saved that reads back as another.
  if (!std::isfinite(cfg.firstPaintSeconds)) return false;
  const std::string bytes = cfg.encode();

  if (!FileIO::writeAtomically(file_, bytes, /*sync=*/true)) return false;
  ::chmod(file_.c_str(), 0600);  // a failure here does not change the result
  cached_.reset();
  cachedStamp_.reset();
  return true;
}

namespace ConfigStore {

namespace {
SettingsStore& processStore() {
  static SettingsStore store(Paths::root());
  return store;
}
}  // namespace

Config load() { return processStore().load(); }
bool save(const Config& cfg) { return processStore().save(cfg); }

}  // namespace ConfigStore
}  // namespace qy
