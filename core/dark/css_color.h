// CSSColor: parsers from the colour notations found in mail — CSS values, legacy HTML attributes
// such as bgcolor="ffffff", and the user's dark background setting — to RGBA. Every parser
// returns nothing for text it does not understand; none throws. The name table is built once, on
// first use, and is read-only afterwards; everything is callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/dark/rgba.h"

namespace qy::CSSColor {

struct NameHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};
using NameTable = std::unordered_map<std::string, uint32_t, NameHash, std::equal_to<>>;

// The 148 named colours of CSS (lower-case name → 0xRRGGBB); no "transparent", no keywords.
const NameTable& named();
// The named colour of a lower-case name, opaque.
std::optional<RGBA> namedColor(std::string_view lowerName);

// Any colour text: a name, "#" and hex digits, rgb()/hsl() notation, or six bare hex digits;
// blanks around it and letter case do not matter.
std::optional<RGBA> legacy(std::string_view text);
// The digits after a "#": 3, 4, 6 or 8 hexadecimal digits.
std::optional<RGBA> hex(std::string_view digits);
// A functional notation "rgb(...)", "rgba(...)", "hsl(...)" or "hsla(...)", comma or space
// separated, with an optional fourth opacity piece.
std::optional<RGBA> function(std::string_view text);

}  // namespace qy::CSSColor
