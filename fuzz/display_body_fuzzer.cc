// Fuzzes the body a mail-client host shows for a decoded message, on arbitrary message bytes.
// Invariant: the result, when there is one, is valid UTF-8 (it becomes a JSON string and a
// document in the add-on).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "core/base/unicode.h"
#include "extension/display_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (auto html = qy::displayBody(qy::ByteView(data, size))) {
    if (!qy::Unicode::isValidUtf8(*html)) {
      std::fprintf(stderr, "invariant broken: the shown body is not valid UTF-8\n");
      std::abort();
    }
  }
  return 0;
}
