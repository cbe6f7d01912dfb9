// Fuzzes DarkContext::rewriteTag: any bytes as a start tag, in both modes and with a tinted base.
// A rewritten tag keeps its head ("<" and the name), and a rewritten tag can be rewritten again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/dark/dark_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the element and the mode; the rest is the tag.
  static const char* const kNames[] = {"div", "td", "font", "body", "table", "p", "span", "x"};
  const uint8_t selector = data[0];
  std::string_view name = kNames[selector & 7];
  qy::Config cfg;
  cfg.darkMode = (selector & 8) ? "on" : "auto";
  if (selector & 16) cfg.darkBackground = "rgb(26,26,77)";
  auto dark = qy::DarkContext::make(cfg, false);
  if (!dark) std::abort();
  std::string tag = "<" + std::string(name) + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string once = dark->rewriteTag(tag, name);
  if (once.compare(0, name.size() + 1, tag, 0, name.size() + 1) != 0) std::abort();
  std::string twice = dark->rewriteTag(once, name);  // rewriting again must not crash either
  (void)twice;
  (void)dark->headBlock();
  return 0;
}
