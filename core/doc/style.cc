// Style: escaping, the accent colour check, the translation element and the "worth showing" test.
#include "core/doc/style.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "core/base/unicode.h"
#include "core/doc/text_util.h"

namespace qy::Style {
namespace {

constexpr std::string_view kDefaultAccent = "#34A77A";

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Canonical caseless form: NFD(fold(NFD(text))), so that texts that differ only in letter case
// or in composed against decomposed forms compare equal.
bool caselessForm(std::string_view text, icu::UnicodeString& out) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return false;
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  s = nfd->normalize(s, status);
  s.foldCase(U_FOLD_CASE_DEFAULT);
  out = nfd->normalize(s, status);
  return U_SUCCESS(status);
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  if (Unicode::isAscii(a) && Unicode::isAscii(b)) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return Unicode::asciiLower(x) == Unicode::asciiLower(y); });
  }
  // Within a common ASCII prefix, a differing letter decides: folding and decomposition never
  // remove a code point or move an ASCII one, so the folded forms differ there too.
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x >= 0x80 || y >= 0x80) break;
    if (Unicode::asciiLower(a[i]) != Unicode::asciiLower(b[i])) return false;
  }
  icu::UnicodeString left, right;
  if (!caselessForm(a, left) || !caselessForm(b, right)) return a == b;
  return left == right;
}

void appendInteger(std::string& out, int64_t value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// The shortest decimal that reads back as the same double (0.2, 0.35), independent of locale.
void appendShortest(std::string& out, double value) {
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity = nullptr;
    switch (text[i]) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      default: continue;
    }
    out.append(text.substr(start, i - start));
    out.append(entity);
    start = i + 1;
  }
  out.append(text.substr(start));
  return out;
}

std::string inPlace(std::string_view html, std::string_view source) {
  std::string out = R"(<span class="qy-in" title=")";
  out.reserve(out.size() + html.size() + source.size() + 16);
  // The title is an attribute value: quotes are escaped too.
  for (char c : escape(TextUtil::tidy(source))) {
    if (c == '"') out += "&quot;";
    else out.push_back(c);
  }
  out += "\">";
  out += html;
  out += "</span>";
  return out;
}

std::string escapeWithBreaks(std::string_view text) {
  std::string escaped = escape(TextUtil::tidy(text));
  std::string out;
  out.reserve(escaped.size() + 16);
  for (char c : escaped) {
    if (c == '\n') {
      out.append("<br>");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string safeColor(std::string_view value) {
  std::string_view trimmed = TextUtil::trimBlanks(value);
  // A full match only: "#123456\n" must not carry its line break into a style attribute.
  if (trimmed.size() == 7 && trimmed[0] == '#' &&
      std::all_of(trimmed.begin() + 1, trimmed.end(), isHexDigit))
    return std::string(trimmed);
  return std::string(kDefaultAccent);
}

std::string translationBlock(std::string_view translation, const Config& cfg) {
  std::string colour = safeColor(cfg.accentColor);
  std::string out = R"(<span class="qy-tr" style=")";
  out.append("display:block;margin:4px 0 6px 0;letter-spacing:normal;text-transform:none;");
  if (cfg.style == "plain") {
    // no decoration
  } else if (cfg.style == "highlight") {
    out.append("padding:3px 7px;background:").append(colour).append("24;border-radius:5px;");
  } else {
    out.append("padding:0 0 0 9px;border-left:3px solid ").append(colour).append(";");
  }
  if (cfg.fontScale != 100) {
    out.append("font-size:");
    appendInteger(out, std::clamp<int64_t>(cfg.fontScale, 50, 200));
    out.append("%;");
  }
  if (cfg.opacity <= 99) {
    out.append("opacity:");
    appendShortest(out, static_cast<double>(std::max<int64_t>(cfg.opacity, 20)) / 100.0);
    out.append(";");
  }
  out.append("\">");
  out.append(escapeWithBreaks(translation));
  out.append("</span>");
  return out;
}

bool worthShowing(std::string_view translation, std::string_view original) {
  std::string_view shown = TextUtil::trimBlanksAndLineBreaks(translation);
  if (shown.empty()) return false;
  return !equalIgnoringCase(shown, TextUtil::trimBlanksAndLineBreaks(original));
}

}  // namespace qy::Style
