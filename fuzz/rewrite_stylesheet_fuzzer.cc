// Fuzzes DarkContext::rewriteStylesheet and rewriteDeclarations. Rewriting only ever wraps colour
// tokens in "var(--qy-N, ...)": unwrapping them gives back the input exactly (for inputs that do
// not already hold such text), and text without any change comes back as is.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/dark/dark_context.h"

namespace {

// "var(--qy-N, X)" → X, where X holds at most one level of parentheses.
std::string unwrap(std::string_view text) {
  constexpr std::string_view kOpen = "var(--qy-";
  std::string out;
  size_t copied = 0;
  size_t i;
  while ((i = text.find(kOpen, copied)) != std::string_view::npos) {
    size_t comma = text.find(", ", i);
    if (comma == std::string_view::npos) std::abort();
    out.append(text.substr(copied, i - copied));
    size_t j = comma + 2;
    int depth = 1;
    while (j < text.size()) {
      if (text[j] == '(') ++depth;
      if (text[j] == ')' && --depth == 0) break;
      ++j;
    }
    if (j >= text.size()) std::abort();
    out.append(text.substr(comma + 2, j - comma - 2));
    copied = j + 1;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view css(reinterpret_cast<const char*>(data), size);
  qy::Config cfg;
  cfg.darkMode = "on";
  auto dark = qy::DarkContext::make(cfg, false);
  if (!dark) std::abort();
  std::string sheet = dark->rewriteStylesheet(css);
  std::string declarations = dark->rewriteDeclarations(css);
  if (dark->variableValues().empty() && (sheet != css || declarations != css)) std::abort();
  if (css.find("var(--qy-") == std::string_view::npos) {
    if (unwrap(sheet) != css || unwrap(declarations) != css) std::abort();
  }
  (void)dark->headBlock();
  return 0;
}
