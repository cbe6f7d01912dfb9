// Opening the storage root once per process.
#include "core/config/storage_root.h"

#include <cstdio>

#include "core/base/file_io.h"
#include "core/base/own_directory.h"
#include "core/config/paths.h"

namespace qy::StorageRoot {
namespace {

// Files of the root that this program replaces through temporaries.
bool isOwnRootFile(std::string_view target) { return target == "config.json"; }

}  // namespace

Check open(const std::filesystem::path& root, std::chrono::system_clock::time_point now) {
  Paths::ensureDirectory(root / "cache");
  auto opened = OwnDirectory::open(root, {.tighten = true, .followOwnLink = true});
  if (!opened.ok()) return {false, "存储目录不可用：" + opened.refusal};
  auto cache = OwnDirectory::openAt(opened.fd.get(), "cache", root / "cache",
                                    {.create = true, .tighten = true});
  if (!cache.ok()) return {false, "存储目录不可用：" + cache.refusal};
  FileIO::removeStaleTemporaries(opened.fd.get(), isOwnRootFile, now - kStaleTemporaryAge);
  FileIO::removeStaleTemporaries(cache.fd.get(), Paths::isCacheFileName, now - kStaleTemporaryAge);
  return {true, {}};
}

const Check& process() {
  static const Check kCheck = [] {
    Check check = open(Paths::root());
    if (!check.usable)
      std::fprintf(stderr, "quillory: %s；设置按默认值，不使用翻译缓存，也不写日志。\n",
                   check.refusal.c_str());
    return check;
  }();
  return kCheck;
}

}  // namespace qy::StorageRoot
