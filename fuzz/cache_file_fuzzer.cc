// Feeds arbitrary bytes to the translation cache files as a file on disk, read the way the engine
// reads it (through the size limit, relative to the cache directory). Invariants: reading the
// file gives exactly what decoding its bytes gives, and what decodes survives a write and a read
// back unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/base/file_io.h"
#include "core/config/paths.h"
#include "core/engine/cache_files.h"

namespace {

const std::filesystem::path& cacheDirectory() {
  static const std::filesystem::path directory = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "qy-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    std::filesystem::path cache = std::filesystem::path(pattern) / "cache";
    qy::Paths::ensureDirectory(cache);
    return cache;
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto& directory = cacheDirectory();
  if (!qy::FileIO::writeAtomically(directory / "input.json", bytes, /*sync=*/false)) std::abort();
  const auto read = qy::CacheFiles::read(directory, "input");
  const auto decoded = qy::CacheFiles::decode(bytes);
  if (read != decoded) std::abort();
  if (!decoded) return 0;
  for (const auto& [source, translation] : *decoded) {
    if (source.size() > size || translation.size() > size) std::abort();
  }
  // Keys and values came from valid JSON strings, so they are UTF-8 and write back unchanged.
  if (!qy::CacheFiles::write(directory, "output", *decoded)) std::abort();
  if (qy::CacheFiles::read(directory, "output") != decoded) std::abort();
  return 0;
}
