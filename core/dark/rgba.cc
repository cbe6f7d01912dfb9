// RGBA: HSL conversions and CSS serialisation.
#include "core/dark/rgba.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace qy {
namespace {

double clamp01(double value) { return std::clamp(value, 0.0, 1.0); }

// One channel of the HSL → RGB conversion.
double channel(double p, double q, double x) {
  if (x < 0) x += 1;
  if (x > 1) x -= 1;
  if (x < 1.0 / 6) return p + (q - p) * 6 * x;
  if (x < 1.0 / 2) return q;
  if (x < 2.0 / 3) return p + (q - p) * (2.0 / 3 - x) * 6;
  return p;
}

// A channel as an integer 0...255, halves rounded away from zero. Out-of-range and non-finite
// channels (which no parser produces) are pinned so that the text stays a valid colour.
int byte(double fraction) {
  double value = std::round(fraction * 255);
  if (!(value >= 0)) return 0;
  if (value > 255) return 255;
  return static_cast<int>(value);
}

}  // namespace

RGBA RGBA::hex(uint32_t rgb, double a) {
  return {static_cast<double>((rgb >> 16) & 0xFF) / 255, static_cast<double>((rgb >> 8) & 0xFF) / 255,
          static_cast<double>(rgb & 0xFF) / 255, a};
}

RGBA RGBA::hsl(double h, double s, double l, double a) {
  s = clamp01(s);
  l = clamp01(l);
  if (s == 0) return {l, l, l, a};
  double q = l < 0.5 ? l * (1 + s) : l + s - l * s;
  double p = 2 * l - q;
  double t = std::fmod(std::fmod(h, 360.0) + 360.0, 360.0) / 360.0;
  return {channel(p, q, t + 1.0 / 3), channel(p, q, t), channel(p, q, t - 1.0 / 3), a};
}

RGBA::HSL RGBA::hsl() const {
  double max = std::max({r, g, b});
  double min = std::min({r, g, b});
  double l = (max + min) / 2;
  if (max == min) return {0, 0, l};
  double d = max - min;
  double s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
  double h;
  if (max == r) {
    h = (g - b) / d + (g < b ? 6 : 0);
  } else if (max == g) {
    h = (b - r) / d + 2;
  } else {
    h = (r - g) / d + 4;
  }
  return {h * 60, s, l};
}

std::string RGBA::css() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  const int channels[3] = {byte(r), byte(g), byte(b)};
  if (a >= 0.999) {
    char hex[7] = {'#'};
    for (int k = 0; k < 3; ++k) {
      hex[1 + 2 * k] = kDigits[channels[k] >> 4];
      hex[2 + 2 * k] = kDigits[channels[k] & 15];
    }
    return std::string(hex, sizeof hex);
  }
  char text[64] = "rgba(";
  size_t length = 5;
  for (int channel : channels) {
    length = static_cast<size_t>(std::to_chars(text + length, text + 48, channel).ptr - text);
    text[length++] = ',';
  }
  // "%.3g" without the C locale: at most three significant digits, no trailing zeros.
  const double alpha = std::isfinite(a) ? a : 0.0;
  length = static_cast<size_t>(
      std::to_chars(text + length, text + 62, alpha, std::chars_format::general, 3).ptr - text);
  text[length++] = ')';
  return std::string(text, length);
}

}  // namespace qy
