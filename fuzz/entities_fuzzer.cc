// Fuzzes Entities::decode: never longer than its input (every reference is at least as long as
// its replacement), the identity without "&", and valid UTF-8 in gives valid UTF-8 out.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "core/doc/entities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string decoded = qy::Entities::decode(text);
  if (decoded.size() > text.size()) std::abort();
  if (text.find('&') == std::string_view::npos && decoded != text) std::abort();
  if (qy::Unicode::isValidUtf8(text) && !qy::Unicode::isValidUtf8(decoded)) std::abort();
  return 0;
}
