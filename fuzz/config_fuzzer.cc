// Feeds arbitrary bytes to the settings decoder. Invariant: whatever decodes, encodes to a file
// that decodes back to an equal record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/config/config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto cfg = qy::Config::decode(text);
  if (!cfg) return 0;
  auto back = qy::Config::decode(cfg->encode());
  // A NaN or infinite firstPaintSeconds cannot come from JSON; every other value must survive.
  if (!back || !(*back == *cfg)) std::abort();
  (void)cfg->translationSignature();
  return 0;
}
