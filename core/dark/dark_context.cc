// DarkContext: declaration and style sheet rewriting, the tag scanner and the head block.
#include "core/dark/dark_context.h"

#include <charconv>

#include "core/base/regex.h"
#include "core/base/unicode.h"
#include "core/dark/css_color.h"
#include "core/dark/css_text.h"

namespace qy {
namespace {

// Word characters are ICU's (QY_WORD_CHARS), not PCRE2's \w; \b before rgb/hsl is the same
// test looking back.
// A colour property and its value up to the next ";", "{" or "}".
const Regex& declarationPattern() {
  static const Regex kPattern(
      R"((?<![)" QY_WORD_CHARS R"(-])((?:-webkit-text-fill-|text-decoration-|caret-|background-|border-(?:top-|right-|bottom-|left-)?|outline-)?color|background(?:-image)?|border(?:-top|-right|-bottom|-left)?|outline)\s*:\s*([^;{}]+))",
      Regex::kCaseless);
  return kPattern;
}

// The tokens of a value: url(...) (so that colours inside links are left alone), hexadecimal
// colours, rgb/hsl functions and bare words.
const Regex& colorTokenPattern() {
  static const Regex kPattern(
      R"(url\([^)]*\)|#[0-9a-fA-F]{3,8}(?![)" QY_WORD_CHARS R"(-])|(?<![)" QY_WORD_CHARS
      R"(])(?:rgb|hsl)a?\([^()]*\)|(?<![)" QY_WORD_CHARS R"(#.-])[a-zA-Z]+(?![)" QY_WORD_CHARS
      R"((-]))",
      Regex::kCaseless);
  return kPattern;
}

// The same tokens for the part of a value after its last ")": there the two alternatives that
// end in ")" cannot match, and leaving them out keeps "url(url(url(..." without a ")" linear.
const Regex& colorTokenTailPattern() {
  static const Regex kPattern(R"(#[0-9a-fA-F]{3,8}(?![)" QY_WORD_CHARS R"(-])|(?<![)" QY_WORD_CHARS
                              R"(#.-])[a-zA-Z]+(?![)" QY_WORD_CHARS R"((-]))",
                              Regex::kCaseless);
  return kPattern;
}

// A declaration block that holds no other block.
const Regex& innermostBlockPattern() {
  static const Regex kPattern(R"(\{[^{}]*\})");
  return kPattern;
}

// Whether the text contains the lower-case ASCII word, ignoring the text's letter case. (No
// non-ASCII character lower-cases to a letter of the words asked for here.)
bool containsIgnoringCase(std::string_view text, std::string_view word) {
  if (word.empty() || text.size() < word.size()) return word.empty();
  const char first = word[0];
  const char firstUpper = static_cast<char>(first - 32);
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    if (text[i] != first && text[i] != firstUpper) continue;
    size_t j = 1;
    while (j < word.size() && Unicode::asciiLower(text[i + j]) == word[j]) ++j;
    if (j == word.size()) return true;
  }
  return false;
}

// The lower-cased text begins with the lower-case ASCII prefix.
bool startsWithLower(std::string_view text, std::string_view prefix) {
  if (Unicode::isAscii(text)) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      if (Unicode::asciiLower(text[i]) != prefix[i]) return false;
    }
    return true;
  }
  return Unicode::lowercased(text).starts_with(prefix);
}

DarkTone toneOf(std::string_view property) {
  if (startsWithLower(property, "background")) return DarkTone::background;
  if (startsWithLower(property, "border") || startsWithLower(property, "outline"))
    return DarkTone::border;
  return DarkTone::text;
}

void appendInt(std::string& out, int value) {
  char buffer[16];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

bool isTagSpace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// A part of the tag to put in place of the bytes [begin, end).
struct Splice {
  size_t begin;
  size_t end;
  std::string text;
};

}  // namespace

std::optional<DarkContext> DarkContext::make(const Config& cfg, bool emailSupportsDark) {
  bool always;
  if (cfg.darkMode == "on") {
    always = true;
  } else if (cfg.darkMode == "auto" && !emailSupportsDark) {
    always = false;
  } else {
    return std::nullopt;
  }
  RGBA base = CSSColor::legacy(cfg.darkBackground).value_or(RGBA{30 / 255.0, 30 / 255.0, 30 / 255.0, 1});
  return DarkContext(always, base);
}

int DarkContext::variableFor(std::string_view token, DarkTone tone) {
  std::string low = Unicode::lowercased(token);
  if (low.starts_with("url(")) return 0;
  key_.assign(tone.name());
  key_.push_back('|');
  key_.append(low);
  if (auto it = variables_.find(key_); it != variables_.end()) return it->second;
  if (unchanged_.contains(key_)) return 0;

  std::optional<RGBA> colour;
  if (low.starts_with('#')) {
    colour = CSSColor::hex(std::string_view(low).substr(1));
  } else if (low.find('(') != std::string::npos) {
    colour = CSSColor::function(low);
  } else {
    colour = CSSColor::namedColor(low);
  }
  if (!colour) return 0;  // keywords such as "transparent", "solid", "none"
  std::string mapped = tone.convert(*colour, base_).css();
  if (mapped == colour->css()) {
    unchanged_.emplace(key_, 0);
    return 0;
  }
  variableValues_.push_back(std::move(mapped));
  int number = static_cast<int>(variableValues_.size());
  variables_.emplace(key_, number);
  return number;
}

bool DarkContext::rewriteValueInto(std::string_view value, DarkTone tone, std::string& out) {
  const size_t lastClose = value.rfind(')');
  const size_t tailStart = lastClose == std::string_view::npos ? 0 : lastClose + 1;
  size_t copied = 0;
  bool changed = false;
  auto handle = [&](size_t begin, size_t end) {
    std::string_view token = value.substr(begin, end - begin);
    int number = variableFor(token, tone);
    if (number == 0) return;
    if (!changed) out.reserve(out.size() + value.size() + 32);
    changed = true;
    out.append(value.substr(copied, begin - copied));
    out.append("var(--qy-");
    appendInt(out, number);
    out.append(", ");
    out.append(token);
    out.push_back(')');
    copied = end;
  };

  size_t position = 0;
  // Up to the last ")": every token found there lies wholly inside it, lookarounds included.
  const std::string_view head = value.substr(0, tailStart);
  while (position < head.size()) {
    auto match = colorTokenPattern().search(head, position);
    if (!match) break;
    handle(match->begin(), match->end());
    position = match->end();
  }
  position = std::max(position, tailStart);
  while (position < value.size()) {
    auto match = colorTokenTailPattern().search(value, position);
    if (!match) break;
    handle(match->begin(), match->end());
    position = match->end();
  }
  if (changed) out.append(value.substr(copied));
  return changed;
}

bool DarkContext::rewriteDeclarationsInto(std::string_view text, std::string& out) {
  const size_t mark = out.size();
  size_t copied = 0;
  size_t position = 0;
  bool changed = false;
  std::string value;
  while (position < text.size()) {
    auto match = declarationPattern().search(text, position);
    if (!match) break;
    const auto property = match->groups[1];
    const auto valueRange = match->groups[2];
    DarkTone tone = toneOf(text.substr(property.begin, property.end - property.begin));
    value.clear();
    if (rewriteValueInto(text.substr(valueRange.begin, valueRange.end - valueRange.begin), tone,
                         value)) {
      if (!changed) out.reserve(out.size() + text.size() + 64);
      changed = true;
      out.append(text.substr(copied, valueRange.begin - copied));
      out.append(value);
      copied = valueRange.end;
    }
    position = match->end();
  }
  if (!changed) {
    out.resize(mark);
    return false;
  }
  out.append(text.substr(copied));
  return true;
}

std::string DarkContext::rewriteDeclarations(std::string_view text) {
  std::string out;
  if (!rewriteDeclarationsInto(text, out)) return std::string(text);
  return out;
}

std::string DarkContext::rewriteStylesheet(std::string_view css) {
  std::string out;
  size_t copied = 0;
  size_t position = 0;
  while (position < css.size()) {
    auto match = innermostBlockPattern().search(css, position);
    if (!match) break;
    out.append(css.substr(copied, match->begin() - copied));
    std::string_view block = css.substr(match->begin(), match->end() - match->begin());
    if (!rewriteDeclarationsInto(block, out)) out.append(block);
    copied = position = match->end();
  }
  out.append(css.substr(copied));
  return out;
}

int DarkContext::markerFor(std::string_view value, DarkTone tone) {
  auto colour = CSSColor::legacy(value);
  if (!colour) return 0;
  std::string mapped = tone.convert(*colour, base_).css();
  if (mapped == colour->css()) return 0;
  if (tone == DarkTone::background) return index(std::move(mapped), bgAttrs_, bgOrder_);
  return index(std::move(mapped), fgAttrs_, fgOrder_);
}

int DarkContext::index(std::string key, Numbers& numbers, std::vector<std::string>& order) {
  if (auto it = numbers.find(key); it != numbers.end()) return it->second;
  int number = static_cast<int>(numbers.size()) + 1;
  numbers.emplace(key, number);
  order.push_back(std::move(key));
  return number;
}

std::string DarkContext::rewriteTag(std::string_view tag, std::string_view name) {
  const bool isBody = name == "body";
  const bool isFont = name == "font";
  if (!containsIgnoringCase(tag, "style") && !containsIgnoringCase(tag, "color") &&
      !(isBody && containsIgnoringCase(tag, "text")))
    return std::string(tag);

  const size_t n = tag.size();
  const size_t headEnd = std::min(n, name.size() + 1);
  std::string markers;
  std::vector<Splice> splices;
  auto skipSpace = [&](size_t& i) {
    while (i < n && isTagSpace(tag[i])) ++i;
  };

  size_t i = headEnd;
  while (i < n) {
    while (i < n && (isTagSpace(tag[i]) || tag[i] == '/')) ++i;
    if (i >= n || tag[i] == '>') break;
    const size_t nameBegin = i;
    while (i < n && !isTagSpace(tag[i]) && tag[i] != '=' && tag[i] != '>') ++i;
    if (i == nameBegin) {  // a lone "="
      ++i;
      continue;
    }
    if (i >= n) break;  // a name that runs to the end
    const std::string_view attribute = tag.substr(nameBegin, i - nameBegin);
    skipSpace(i);
    if (i >= n || tag[i] != '=') continue;  // no value
    ++i;
    skipSpace(i);
    if (i >= n) break;
    size_t valueBegin, valueEnd;
    bool quoted = tag[i] == '"' || tag[i] == '\'';
    if (quoted) {
      const char quote = tag[i];
      valueBegin = i + 1;
      size_t close = tag.find(quote, valueBegin);
      valueEnd = close == std::string_view::npos ? n : close;
      i = close == std::string_view::npos ? n : close + 1;
    } else {
      valueBegin = i;
      while (i < n && !isTagSpace(tag[i]) && tag[i] != '>') ++i;
      valueEnd = i;
    }
    const std::string_view value = tag.substr(valueBegin, valueEnd - valueBegin);

    if (CSSText::equalsLower(attribute, "style")) {
      std::string rewritten;
      if (!rewriteDeclarationsInto(value, rewritten)) continue;
      if (!quoted) {
        // An unquoted value may hold a '"': written inside quotes it must stay inert.
        std::string wrapped = "\"";
        for (char c : rewritten) {
          if (c == '"') {
            wrapped.append("&quot;");
          } else {
            wrapped.push_back(c);
          }
        }
        wrapped.push_back('"');
        rewritten = std::move(wrapped);
      }
      splices.push_back({valueBegin, valueEnd, std::move(rewritten)});
    } else if (CSSText::equalsLower(attribute, "bgcolor")) {
      if (int number = markerFor(value, DarkTone::background)) {
        markers.append(" data-qyb=\"");
        appendInt(markers, number);
        markers.push_back('"');
      }
    } else if ((isFont && CSSText::equalsLower(attribute, "color")) ||
               (isBody && CSSText::equalsLower(attribute, "text"))) {
      if (int number = markerFor(value, DarkTone::text)) {
        markers.append(" data-qyc=\"");
        appendInt(markers, number);
        markers.push_back('"');
      }
    }
  }

  if (splices.empty() && markers.empty()) return std::string(tag);
  std::string out;
  out.reserve(n + markers.size() + 64);
  out.append(tag.substr(0, headEnd));
  out.append(markers);
  size_t copied = headEnd;
  for (const Splice& splice : splices) {
    out.append(tag.substr(copied, splice.begin - copied));
    out.append(splice.text);
    copied = splice.end;
  }
  out.append(tag.substr(copied));
  return out;
}

std::string DarkContext::headBlock() const {
  const DarkTone text = DarkTone::text;
  const std::string textColor = text.convert(RGBA{0, 0, 0, 1}, base_).css();
  const std::string linkColor = text.convert(RGBA{10 / 255.0, 96 / 255.0, 208 / 255.0, 1}, base_).css();
  const std::string visitedColor =
      text.convert(RGBA{106 / 255.0, 63 / 255.0, 181 / 255.0, 1}, base_).css();

  std::string css;
  if (!variableValues_.empty()) {
    css.append(":root{");
    for (size_t k = 0; k < variableValues_.size(); ++k) {
      if (k > 0) css.push_back(';');
      css.append("--qy-");
      appendInt(css, static_cast<int>(k + 1));
      css.push_back(':');
      css.append(variableValues_[k]);
    }
    css.push_back('}');
  }
  css.append(":where(html){background-color:").append(base_.css()).append(";color:").append(textColor).append("}");
  css.append(":where(a:link){color:").append(linkColor).append("}:where(a:visited){color:").append(visitedColor).append("}");
  for (size_t k = 0; k < bgOrder_.size(); ++k) {
    css.append(":where([data-qyb=\"");
    appendInt(css, static_cast<int>(k + 1));
    css.append("\"]){background-color:").append(bgOrder_[k]).append("}");
  }
  for (size_t k = 0; k < fgOrder_.size(); ++k) {
    css.append(":where([data-qyc=\"");
    appendInt(css, static_cast<int>(k + 1));
    css.append("\"]){color:").append(fgOrder_[k]).append("}");
  }

  const std::string scheme = always_ ? "dark" : "light dark";
  std::string out;
  out.append("<meta name=\"color-scheme\" content=\"").append(scheme).append("\">");
  out.append("<meta name=\"supported-color-schemes\" content=\"").append(scheme).append("\">");
  out.append("<style data-qy-dark>:root{color-scheme:").append(scheme).append(" !important}");
  if (always_) {
    out.append(css);
  } else {
    out.append("@media (prefers-color-scheme:dark){").append(css).append("}");
  }
  out.append("</style>");
  return out;
}

}  // namespace qy
