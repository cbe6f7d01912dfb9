// DarkTone: the three lightness curves and the grey rule.
#include "core/dark/dark_tone.h"

#include <algorithm>

namespace qy {
namespace {

// Below this saturation a colour counts as grey and takes the base's hue and saturation.
constexpr double kGrey = 0.12;

}  // namespace

std::string_view DarkTone::name() const {
  switch (kind_) {
    case background: return "background";
    case text: return "text";
    case border: return "border";
  }
  return "text";
}

RGBA DarkTone::convert(const RGBA& color, const RGBA& base) const {
  const RGBA::HSL c = color.hsl();
  const double h = c.h, s = c.s, l = c.l;
  const RGBA::HSL b = base.hsl();
  double H = h, S = s, L = l;
  switch (kind_) {
    case background:
      // Dark backgrounds get darker; light ones spread between 0.36 at l = 0.5 and the base
      // lightness at l = 1, so white becomes exactly the base.
      L = l < 0.5 ? 0.72 * l : 0.36 + (b.l - 0.36) * 2 * (l - 0.5);
      if (s < kGrey) {
        H = b.h;
        S = b.s;
      } else {
        H = h;
        S = l >= 0.5 ? 0.8 * s : s;
      }
      break;
    case text:
      if (l >= 0.5) {
        L = std::max(l, 0.62);  // already light
        break;
      }
      L = 0.88 - 0.52 * l;
      if (s < kGrey) {
        H = b.h;
        S = std::min(b.s, 0.1);
      } else {
        if (h > 205 && h < 290) L += 0.08;  // blues and violets read darker
        H = h;
        S = std::min(s, 0.9);
        L = std::min(L, 0.9);
      }
      break;
    case border:
      L = l < 0.5 ? 0.42 + 0.26 * (0.5 - l) : 0.42 - 0.4 * (l - 0.5);
      if (s < kGrey) {
        H = b.h;
        S = b.s;
      } else {
        H = h;
        S = std::min(s, 0.8);
      }
      break;
  }
  return RGBA::hsl(H, S, L, color.a);
}

}  // namespace qy
