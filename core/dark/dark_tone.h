// DarkTone: the colour arithmetic of dark mode. A colour chosen for a light page is mapped, by
// its role (page background, text, border), to the colour to use on a dark page: in HSL, keeping
// hue and opacity where the colour has a hue, tying near-greys to the user's dark base colour, and
// remapping lightness by one fixed piecewise-linear curve per role. Pure; callable from any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "core/dark/rgba.h"

namespace qy {

class DarkTone {
 public:
  enum Kind { background, text, border };

  constexpr DarkTone(Kind kind) : kind_(kind) {}  // NOLINT: implicit, so DarkTone t = DarkTone::text
  constexpr Kind kind() const { return kind_; }
  // "background", "text" or "border".
  std::string_view name() const;

  // The dark counterpart of `color` in this role; only the hue, saturation and lightness of
  // `base` are used, never its opacity. The opacity of `color` passes through.
  RGBA convert(const RGBA& color, const RGBA& base) const;

  bool operator==(const DarkTone&) const = default;

 private:
  Kind kind_;
};

}  // namespace qy

template <>
struct std::hash<qy::DarkTone> {
  size_t operator()(const qy::DarkTone& tone) const { return static_cast<size_t>(tone.kind()); }
};
