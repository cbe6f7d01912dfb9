// Fuzzes DarkContext::rewriteStylesheet and rewriteDeclarations: the structure characters of
// CSS ("{", "}", ";") are never added or removed, and text without any change comes back as is.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/dark/dark_context.h"

namespace {

bool sameStructure(std::string_view a, std::string_view b) {
  for (char c : {'{', '}', ';'}) {
    if (std::count(a.begin(), a.end(), c) != std::count(b.begin(), b.end(), c)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view css(reinterpret_cast<const char*>(data), size);
  qy::Config cfg;
  cfg.darkMode = "on";
  auto dark = qy::DarkContext::make(cfg, false);
  if (!dark) std::abort();
  std::string sheet = dark->rewriteStylesheet(css);
  if (!sameStructure(css, sheet)) std::abort();
  std::string declarations = dark->rewriteDeclarations(css);
  if (!sameStructure(css, declarations)) std::abort();
  if (dark->variableValues().empty() && (sheet != css || declarations != css)) std::abort();
  (void)dark->headBlock();
  return 0;
}
