// CSSColor: the name table and the hex, functional and legacy colour parsers.
#include "core/dark/css_color.h"

#include <array>

#include "core/base/unicode.h"
#include "core/dark/css_text.h"

namespace qy::CSSColor {
namespace {

// The table text: alternating lower-case names and six hexadecimal digits.
constexpr std::string_view kNameTable =
    "aliceblue f0f8ff antiquewhite faebd7 aqua 00ffff aquamarine 7fffd4 azure f0ffff "
    "beige f5f5dc bisque ffe4c4 black 000000 blanchedalmond ffebcd blue 0000ff "
    "blueviolet 8a2be2 brown a52a2a burlywood deb887 cadetblue 5f9ea0 chartreuse 7fff00 "
    "chocolate d2691e coral ff7f50 cornflowerblue 6495ed cornsilk fff8dc crimson dc143c "
    "cyan 00ffff darkblue 00008b darkcyan 008b8b darkgoldenrod b8860b darkgray a9a9a9 "
    "darkgreen 006400 darkgrey a9a9a9 darkkhaki bdb76b darkmagenta 8b008b "
    "darkolivegreen 556b2f darkorange ff8c00 darkorchid 9932cc darkred 8b0000 "
    "darksalmon e9967a darkseagreen 8fbc8f darkslateblue 483d8b darkslategray 2f4f4f "
    "darkslategrey 2f4f4f darkturquoise 00ced1 darkviolet 9400d3 deeppink ff1493 "
    "deepskyblue 00bfff dimgray 696969 dimgrey 696969 dodgerblue 1e90ff firebrick b22222 "
    "floralwhite fffaf0 forestgreen 228b22 fuchsia ff00ff gainsboro dcdcdc ghostwhite f8f8ff "
    "gold ffd700 goldenrod daa520 gray 808080 green 008000 greenyellow adff2f grey 808080 "
    "honeydew f0fff0 hotpink ff69b4 indianred cd5c5c indigo 4b0082 ivory fffff0 khaki f0e68c "
    "lavender e6e6fa lavenderblush fff0f5 lawngreen 7cfc00 lemonchiffon fffacd "
    "lightblue add8e6 lightcoral f08080 lightcyan e0ffff lightgoldenrodyellow fafad2 "
    "lightgray d3d3d3 lightgreen 90ee90 lightgrey d3d3d3 lightpink ffb6c1 lightsalmon ffa07a "
    "lightseagreen 20b2aa lightskyblue 87cefa lightslategray 778899 lightslategrey 778899 "
    "lightsteelblue b0c4de lightyellow ffffe0 lime 00ff00 limegreen 32cd32 linen faf0e6 "
    "magenta ff00ff maroon 800000 mediumaquamarine 66cdaa mediumblue 0000cd "
    "mediumorchid ba55d3 mediumpurple 9370db mediumseagreen 3cb371 mediumslateblue 7b68ee "
    "mediumspringgreen 00fa9a mediumturquoise 48d1cc mediumvioletred c71585 "
    "midnightblue 191970 mintcream f5fffa mistyrose ffe4e1 moccasin ffe4b5 "
    "navajowhite ffdead navy 000080 oldlace fdf5e6 olive 808000 olivedrab 6b8e23 "
    "orange ffa500 orangered ff4500 orchid da70d6 palegoldenrod eee8aa palegreen 98fb98 "
    "paleturquoise afeeee palevioletred db7093 papayawhip ffefd5 peachpuff ffdab9 "
    "peru cd853f pink ffc0cb plum dda0dd powderblue b0e0e6 purple 800080 "
    "rebeccapurple 663399 red ff0000 rosybrown bc8f8f royalblue 4169e1 saddlebrown 8b4513 "
    "salmon fa8072 sandybrown f4a460 seagreen 2e8b57 seashell fff5ee sienna a0522d "
    "silver c0c0c0 skyblue 87ceeb slateblue 6a5acd slategray 708090 slategrey 708090 "
    "snow fffafa springgreen 00ff7f steelblue 4682b4 tan d2b48c teal 008080 thistle d8bfd8 "
    "tomato ff6347 turquoise 40e0d0 violet ee82ee wheat f5deb3 white ffffff "
    "whitesmoke f5f5f5 yellow ffff00 yellowgreen 9acd32";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A number, or a percentage of `hundredPercent` when the piece ends with "%".
std::optional<double> numberOrPercent(std::string_view piece, double hundredPercent) {
  if (piece.ends_with('%')) {
    auto value = CSSText::parseNumber(piece.substr(0, piece.size() - 1));
    if (!value) return std::nullopt;
    return *value / 100 * hundredPercent;
  }
  return CSSText::parseNumber(piece);
}

// A percentage piece ("50%") as a fraction; anything else is refused.
std::optional<double> percent(std::string_view piece) {
  if (!piece.ends_with('%')) return std::nullopt;
  auto value = CSSText::parseNumber(piece.substr(0, piece.size() - 1));
  if (!value) return std::nullopt;
  return *value / 100;
}

double clamp01(double value) { return value < 0 ? 0 : (value > 1 ? 1 : value); }

// Splits at ",", "/" and white space, dropping empty pieces. Returns the number of pieces, which
// may exceed the array: only the first four are stored, and counting stops at five.
size_t splitArguments(std::string_view args, std::array<std::string_view, 4>& pieces) {
  size_t count = 0;
  size_t start = 0;
  size_t offset = 0;
  auto close = [&](size_t end) {
    if (end > start) {
      if (count < pieces.size()) pieces[count] = args.substr(start, end - start);
      ++count;
    }
  };
  while (offset < args.size() && count <= pieces.size()) {
    size_t here = offset;
    auto byte = static_cast<unsigned char>(args[offset]);
    bool separator;
    if (byte < 0x80) {
      ++offset;
      separator = byte == ',' || byte == '/' || byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
    } else {
      separator = Unicode::isWhiteSpace(Unicode::next(args, offset));
    }
    if (separator) {
      close(here);
      start = offset;
    }
  }
  if (count <= pieces.size()) close(args.size());
  return count;
}

}  // namespace

const NameTable& named() {
  static const NameTable table = [] {
    NameTable t;
    std::string_view rest = kNameTable;
    while (!rest.empty()) {
      size_t space = rest.find(' ');
      std::string_view name = rest.substr(0, space);
      std::string_view digits = rest.substr(space + 1, 6);
      uint32_t value = 0;
      for (char c : digits) value = value * 16 + static_cast<uint32_t>(hexValue(c));
      t.emplace(std::string(name), value);
      rest.remove_prefix(std::min(rest.size(), space + 1 + 6 + 1));
    }
    return t;
  }();
  return table;
}

std::optional<RGBA> namedColor(std::string_view lowerName) {
  const NameTable& table = named();
  auto it = table.find(lowerName);
  if (it == table.end()) return std::nullopt;
  return RGBA::hex(it->second);
}

std::optional<RGBA> legacy(std::string_view text) {
  std::string t = Unicode::lowercased(Unicode::trimBlanks(text));
  if (t.empty() || t == "transparent") return std::nullopt;
  if (auto colour = namedColor(t)) return colour;
  if (t.starts_with('#')) return hex(std::string_view(t).substr(1));
  if (t.starts_with("rgb") || t.starts_with("hsl")) return function(t);
  // Bare digits, as legacy attributes are often written (bgcolor="ffffff"). Six hex digits are
  // six characters however they are counted; anything else fails the digit test in hex().
  if (t.size() == 6) return hex(t);
  return std::nullopt;
}

std::optional<RGBA> hex(std::string_view digits) {
  std::array<int, 8> v{};
  if (digits.size() != 3 && digits.size() != 4 && digits.size() != 6 && digits.size() != 8)
    return std::nullopt;
  for (size_t i = 0; i < digits.size(); ++i) {
    v[i] = hexValue(digits[i]);
    if (v[i] < 0) return std::nullopt;
  }
  if (digits.size() <= 4) {
    double alpha = digits.size() == 4 ? v[3] * 17 / 255.0 : 1.0;
    return RGBA{v[0] * 17 / 255.0, v[1] * 17 / 255.0, v[2] * 17 / 255.0, alpha};
  }
  auto pair = [&](size_t i) { return (v[i] * 16 + v[i + 1]) / 255.0; };
  return RGBA{pair(0), pair(2), pair(4), digits.size() == 8 ? pair(6) : 1.0};
}

std::optional<RGBA> function(std::string_view text) {
  size_t open = text.find('(');
  size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open)
    return std::nullopt;
  std::string name = Unicode::lowercased(text.substr(0, open));
  bool rgb = name.starts_with("rgb");
  if (!rgb && !name.starts_with("hsl")) return std::nullopt;

  std::array<std::string_view, 4> pieces;
  size_t count = splitArguments(text.substr(open + 1, close - open - 1), pieces);
  if (count != 3 && count != 4) return std::nullopt;
  double alpha = 1;
  if (count == 4) {
    auto value = numberOrPercent(pieces[3], 1);
    if (!value) return std::nullopt;
    alpha = clamp01(*value);
  }

  if (rgb) {
    std::array<double, 3> channels{};
    for (size_t i = 0; i < 3; ++i) {
      auto value = numberOrPercent(pieces[i], 255);
      if (!value) return std::nullopt;
      channels[i] = clamp01(*value / 255);
    }
    return RGBA{channels[0], channels[1], channels[2], alpha};
  }

  std::string hue = Unicode::lowercased(pieces[0]);
  if (hue.ends_with("deg")) hue.resize(hue.size() - 3);
  auto h = CSSText::parseNumber(hue);
  auto s = percent(pieces[1]);
  auto l = percent(pieces[2]);
  if (!h || !s || !l) return std::nullopt;
  return RGBA::hsl(*h, *s, *l, alpha);
}

}  // namespace qy::CSSColor
