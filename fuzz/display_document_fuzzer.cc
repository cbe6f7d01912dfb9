// Fuzzes the document every host shows for a decoded message, on arbitrary message bytes.
// Invariants: the document is valid UTF-8 (it becomes a JSON string and a frame's document);
// no element that loads another document or a plugin survives in it, in any case ("<iframe",
// "</object"…), so no difference between our tokenizer and a browser's parser lets one through;
// a message without a text body has an empty document.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "core/doc/display_document.h"

// The first invariant `document` breaks, or nothing.
const char* brokenInvariant(const qy::DisplayDocument& document) {
  if (!qy::Unicode::isValidUtf8(document.html)) return "the document is valid UTF-8";
  if (!document.hasBody && !document.html.empty()) return "no document without a body";
  const std::string lower = qy::Unicode::lowercased(document.html);
  static constexpr std::array<std::string_view, 7> kEmbedders = {"iframe", "frame",  "object",     "embed",
                                                                 "applet", "portal", "fencedframe"};
  for (std::string_view name : kEmbedders) {
    if (lower.find("<" + std::string(name)) != std::string::npos) return "an embedding start tag survived";
    if (lower.find("</" + std::string(name)) != std::string::npos) return "an embedding end tag survived";
  }
  return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const char* broken = brokenInvariant(qy::displayDocument(qy::ByteView(data, size)))) {
    std::fprintf(stderr, "invariant broken: %s\n", broken);
    std::abort();
  }
  return 0;
}
