// Entities: a single left-to-right pass; a reference is "&", a body of at most 11 bytes, ";".
#include "core/doc/entities.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "core/base/unicode.h"

namespace qy::Entities {
namespace {

// The ";" must come within this many bytes after the "&"; a longer body is not a reference.
constexpr size_t kMaxLookahead = 12;

// The value of a numeric body after "#" or "#x": an optional "+", then at least one digit, the
// whole fitting in 32 bits.
std::optional<uint32_t> parseNumber(std::string_view digits, unsigned base) {
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char ch : digits) {
    unsigned digit;
    if (ch >= '0' && ch <= '9') digit = static_cast<unsigned>(ch - '0');
    else if (base == 16 && ch >= 'a' && ch <= 'f') digit = static_cast<unsigned>(ch - 'a' + 10);
    else if (base == 16 && ch >= 'A' && ch <= 'F') digit = static_cast<unsigned>(ch - 'A' + 10);
    else return std::nullopt;
    value = value * base + digit;
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Appends the replacement of a reference body; false when the body is not recognised.
bool appendReplacement(std::string_view body, std::string& out) {
  if (!body.empty() && body.front() == '#') {
    std::optional<uint32_t> value;
    if (body.size() >= 2 && (body[1] == 'x' || body[1] == 'X')) value = parseNumber(body.substr(2), 16);
    else value = parseNumber(body.substr(1), 10);
    // A scalar value: not past U+10FFFF and not a surrogate. U+0000 is accepted as written.
    if (!value || *value > 0x10FFFF || (*value >= 0xD800 && *value <= 0xDFFF)) return false;
    Unicode::append(out, static_cast<char32_t>(*value));
    return true;
  }
  const auto& table = named();
  auto hit = table.find(body);
  if (hit == table.end()) return false;
  out.append(hit->second);
  return true;
}

}  // namespace

const std::unordered_map<std::string_view, std::string_view>& named() {
  static const std::unordered_map<std::string_view, std::string_view> kNamed = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"},
      // Spaces of every width read as a plain space; no-break spaces are not kept as such.
      {"nbsp", " "}, {"ensp", " "}, {"emsp", " "}, {"thinsp", " "}, {"hairsp", " "},
      // Joiners, the soft hyphen and direction marks vanish.
      {"zwnj", ""}, {"zwj", ""}, {"shy", ""}, {"lrm", ""}, {"rlm", ""},
      {"copy", "\u00A9"}, {"reg", "\u00AE"}, {"trade", "\u2122"},
      {"mdash", "\u2014"}, {"ndash", "\u2013"}, {"hellip", "\u2026"},
      {"lsquo", "\u2018"}, {"rsquo", "\u2019"}, {"ldquo", "\u201C"}, {"rdquo", "\u201D"},
      {"sbquo", "\u201A"}, {"bdquo", "\u201E"},
      {"bull", "\u2022"}, {"middot", "\u00B7"},
      {"laquo", "\u00AB"}, {"raquo", "\u00BB"}, {"lsaquo", "\u2039"}, {"rsaquo", "\u203A"},
      {"euro", "\u20AC"}, {"pound", "\u00A3"}, {"yen", "\u00A5"}, {"cent", "\u00A2"},
      {"deg", "\u00B0"}, {"times", "\u00D7"}, {"divide", "\u00F7"}, {"plusmn", "\u00B1"},
      {"frac12", "\u00BD"},
      {"para", "\u00B6"}, {"sect", "\u00A7"},
      {"rarr", "\u2192"}, {"larr", "\u2190"}, {"uarr", "\u2191"}, {"darr", "\u2193"},
      {"check", "\u2713"}, {"star", "\u2606"},
      {"eacute", "\u00E9"}, {"egrave", "\u00E8"}, {"agrave", "\u00E0"}, {"aacute", "\u00E1"},
      {"uuml", "\u00FC"}, {"ouml", "\u00F6"}, {"auml", "\u00E4"}, {"szlig", "\u00DF"},
      {"ccedil", "\u00E7"}, {"ntilde", "\u00F1"},
      {"iacute", "\u00ED"}, {"oacute", "\u00F3"}, {"uacute", "\u00FA"},
      {"ecirc", "\u00EA"}, {"ocirc", "\u00F4"}, {"acirc", "\u00E2"}, {"icirc", "\u00EE"},
      {"ucirc", "\u00FB"},
  };
  return kNamed;
}

std::string decode(std::string_view text) {
  size_t amp = text.find('&');
  if (amp == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  while (amp != std::string_view::npos) {
    out.append(text, copied, amp - copied);
    const size_t window = std::min(text.size() - amp - 1, kMaxLookahead);
    const size_t semi = text.substr(amp + 1, window).find(';');
    if (semi != std::string_view::npos && appendReplacement(text.substr(amp + 1, semi), out)) {
      copied = amp + 1 + semi + 1;
    } else {
      // Not a reference: the "&" stays and what follows it is ordinary text.
      out.push_back('&');
      copied = amp + 1;
    }
    amp = text.find('&', copied);
  }
  out.append(text, copied, std::string_view::npos);
  return out;
}

}  // namespace qy::Entities
