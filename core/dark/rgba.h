// RGBA: a colour as four fractions r, g, b, a in 0...1 (a = 1 is opaque), with its conversions to
// and from HSL and its serialisation as CSS text. A plain value; callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace qy {

struct RGBA {
  double r = 0;
  double g = 0;
  double b = 0;
  double a = 1;

  // Hue in degrees (0 <= h < 360), saturation and lightness in 0...1.
  struct HSL {
    double h = 0;
    double s = 0;
    double l = 0;
    bool operator==(const HSL&) const = default;
  };

  // 0xRRGGBB (higher bits ignored) with the given opacity.
  static RGBA hex(uint32_t rgb, double a = 1);
  // The colour of a hue (any number of degrees; wrapped), saturation and lightness (clamped to
  // 0...1) and opacity.
  static RGBA hsl(double h, double s, double l, double a);
  HSL hsl() const;

  // "#rrggbb" when a >= 0.999, else "rgba(R,G,B,A)" with A written as "%.3g".
  std::string css() const;

  bool operator==(const RGBA&) const = default;
};

}  // namespace qy
