// Fuzzes the colour parsers: whatever the text, a parsed colour has finite channels in 0...1 and
// serialises to a colour that reads back.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/dark/css_color.h"

namespace {

void check(const std::optional<qy::RGBA>& colour) {
  if (!colour) return;
  for (double channel : {colour->r, colour->g, colour->b, colour->a}) {
    if (!std::isfinite(channel) || channel < 0 || channel > 1) std::abort();
  }
  std::string css = colour->css();
  if (!qy::CSSColor::legacy(css)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check(qy::CSSColor::legacy(text));
  check(qy::CSSColor::function(text));
  if (!text.empty()) check(qy::CSSColor::hex(text.substr(1)));
  return 0;
}
