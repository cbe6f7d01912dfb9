// Fuzzes PlainDoc construction and rendering: any bytes as a body, every segment translated (to
// itself upper-cased, and to a text with markup), in bilingual and replace mode with dark mode on.
// The document is valid UTF-8, framed as expected, and never holds markup from the body.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "core/doc/plain_doc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  qy::PlainDoc doc(body);
  qy::TranslationDict dict;
  size_t index = 0;
  for (const std::string& text : doc.segmentTexts()) {
    std::string translation = (index++ % 2) ? "<b>" + text + "</b>" : text + " (tr)";
    dict.emplace(text, std::move(translation));
  }
  for (const char* mode : {"bilingual", "replace"}) {
    qy::Config cfg;
    cfg.mode = mode;
    cfg.darkMode = index % 2 ? "on" : "auto";
    std::string html = doc.render(dict, cfg);
    if (!qy::Unicode::isValidUtf8(html)) std::abort();
    if (!html.starts_with("<html><head><meta charset=\"utf-8\">") || !html.ends_with("</body></html>"))
      std::abort();
    // Every "<" in the output was written by the renderer: none comes from the body.
    if (html.find("<b>") != std::string::npos) std::abort();
  }
  return 0;
}
