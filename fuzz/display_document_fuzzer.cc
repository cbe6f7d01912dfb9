// Fuzzes the document every host shows for a decoded message, on arbitrary message bytes.
// Invariants: the document is valid UTF-8 (it becomes a JSON string and a frame's document);
// no tag of an element that loads another document or a plugin survives in it, in any case and
// anywhere ("<iframe src", "</object>", inside a comment), so no difference between our
// tokenizer and a browser's parser lets one through; a message without a text body has an
// empty document.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "core/doc/display_document.h"

// Whether `lower` holds "<name" or "</name" as a browser reads a tag name: up to a blank, '/'
// or '>' ("<iframefoo" is another element).
bool holdsTag(const std::string& lower, std::string_view name) {
  for (const std::string& open : {"<" + std::string(name), "</" + std::string(name)}) {
    for (size_t at = lower.find(open); at != std::string::npos; at = lower.find(open, at + 1)) {
      const size_t next = at + open.size();
      if (next == lower.size() || std::string_view(" \t\n\f\r/>").find(lower[next]) != std::string_view::npos)
        return true;
    }
  }
  return false;
}

// The first invariant `document` breaks, or nothing.
const char* brokenInvariant(const qy::DisplayDocument& document) {
  if (!qy::Unicode::isValidUtf8(document.html)) return "the document is valid UTF-8";
  if (!document.hasBody && !document.html.empty()) return "no document without a body";
  const std::string lower = qy::Unicode::lowercased(document.html);
  static constexpr std::array<std::string_view, 8> kEmbedders = {"iframe", "frame",  "frameset", "object",
                                                                 "embed",  "applet", "portal",   "fencedframe"};
  for (std::string_view name : kEmbedders)
    if (holdsTag(lower, name)) return "an embedding element survived";
  return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const char* broken = brokenInvariant(qy::displayDocument(qy::ByteView(data, size)))) {
    std::fprintf(stderr, "invariant broken: %s\n", broken);
    std::abort();
  }
  return 0;
}
