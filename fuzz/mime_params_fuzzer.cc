// Fuzzes header-value parameter splitting on arbitrary text (repaired to UTF-8 first, as header
// lines are). Invariants: every output is valid UTF-8, the head carries no surrounding blanks,
// and the derived values of a part built on the same Content-Type agree with the split.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base/unicode.h"
#include "core/mime/mime.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qy;
  const std::string value =
      Unicode::repairUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  auto [head, params] = MIME::parseParams(value);
  require(Unicode::isValidUtf8(head), "head is UTF-8");
  for (const auto& [key, param] : params) {
    require(Unicode::isValidUtf8(key) && Unicode::isValidUtf8(param), "parameter is UTF-8");
  }
  require(Unicode::trimBlanks(head) == head, "head is trimmed");
  MIMEPart part({0, 0}, {0, 0}, {MIMEField{"content-type", value, {0, 0}}});
  require(part.type() == (head.empty() ? "text/plain" : head), "part type");
  require(part.params() == params, "part params");
  return 0;
}
