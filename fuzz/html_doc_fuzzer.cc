// Fuzzes HTMLDoc construction and rendering on arbitrary bytes, bilingual and replace, dark mode
// on. Checks the segments' token indices, that bilingual rendering shows every segment's
// translation block, and that rendering without translations and without dark mode gives back
// the input when no meta tag can be rewritten.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/doc/html_doc.h"
#include "core/doc/style.h"

namespace {

void checkSegments(const qy::HTMLDoc& doc) {
  const auto& toks = doc.toks();
  for (const auto& s : doc.segments()) {
    if (s.text.empty() || s.textToks.empty() || s.lastTok >= toks.size()) std::abort();
    size_t previous = 0;
    for (size_t k : s.textToks) {
      if (k >= toks.size() || toks[k].kind != qy::HTok::Kind::text || (k < previous)) std::abort();
      previous = k;
    }
    for (size_t k : s.brToks) {
      if (k >= toks.size() || toks[k].kind != qy::HTok::Kind::open || toks[k].name != "br") std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  qy::Config cfg;
  cfg.darkMode = "on";
  for (const char* mode : {"bilingual", "replace"}) {
    cfg.mode = mode;
    qy::HTMLDoc doc(std::string(html), cfg.mode == "replace");
    checkSegments(doc);
    qy::TranslationDict dict;
    for (const std::string& text : doc.segmentTexts()) dict[text] = "<T> " + text + " &";
    const std::string rendered = doc.render(dict, cfg);
    if (cfg.mode == "bilingual") {
      for (const auto& [text, translation] : dict) {
        if (rendered.find(qy::Style::translationBlock(translation, cfg)) == std::string::npos) std::abort();
      }
    }
    bool hasMeta = false;
    for (const auto& t : doc.toks()) hasMeta = hasMeta || (t.kind == qy::HTok::Kind::open && t.name == "meta");
    qy::Config plain = cfg;
    plain.darkMode = "off";
    if (!hasMeta && doc.render({}, plain) != html) std::abort();
  }
  return 0;
}
