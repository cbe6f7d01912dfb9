// Rewriting a frame document for a chosen colour scheme.
#include "hosts/reader/color_scheme.h"

#include "core/base/unicode.h"

namespace qy::reader {

std::string withColorScheme(std::string_view html, bool dark) {
  static constexpr std::string_view kFeature = "prefers-color-scheme";
  const std::string lower = Unicode::lowercased(html);
  std::string out;
  size_t copied = 0;
  size_t pos = 0;
  auto skipBlanks = [&](size_t i) {
    while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t' || lower[i] == '\n' || lower[i] == '\r')) ++i;
    return i;
  };
  while ((pos = lower.find(kFeature, pos)) != std::string::npos) {
    // "(" blanks "prefers-color-scheme" blanks ":" blanks ("dark"|"light") blanks ")"
    size_t open = pos;
    while (open > 0 && (lower[open - 1] == ' ' || lower[open - 1] == '\t')) --open;
    size_t i = skipBlanks(pos + kFeature.size());
    if (open == 0 || lower[open - 1] != '(' || i >= lower.size() || lower[i] != ':') {
      pos += kFeature.size();
      continue;
    }
    i = skipBlanks(i + 1);
    const bool wantsDark = lower.compare(i, 4, "dark") == 0;
    const bool wantsLight = lower.compare(i, 5, "light") == 0;
    size_t close = skipBlanks(i + (wantsDark ? 4 : 5));
    if ((!wantsDark && !wantsLight) || close >= lower.size() || lower[close] != ')') {
      pos += kFeature.size();
      continue;
    }
    out.append(html.substr(copied, open - 1 - copied));
    // (color) holds on every screen; (not (color)) on none.
    out.append(wantsDark == dark ? "(color)" : "(not (color))");
    copied = pos = close + 1;
  }
  out.append(html.substr(copied));
  out.append(dark ? "<style>:root{color-scheme:dark !important}</style>"
                  : "<style>:root{color-scheme:light !important}</style>");
  return out;
}

}  // namespace qy::reader
