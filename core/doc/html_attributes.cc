// Attribute values of a start tag.
#include "core/doc/html_attributes.h"

#include "core/base/unicode.h"

namespace qy::HTMLAttributes {
namespace {

bool isTagSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

bool equalsLower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (Unicode::asciiLower(text[i]) != lower[i]) return false;
  return true;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isTagSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isTagSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::string_view> value(std::string_view tag, std::string_view name) {
  const size_t n = tag.size();
  size_t i = tag.starts_with('<') ? 1 : 0;
  while (i < n && !isTagSpace(tag[i]) && tag[i] != '>' && tag[i] != '/') ++i;  // the tag name
  while (i < n) {
    while (i < n && (isTagSpace(tag[i]) || tag[i] == '/')) ++i;
    if (i >= n || tag[i] == '>') return std::nullopt;
    const size_t nameBegin = i;
    // An attribute name may begin with "=" (the tokenizer's rule): it is part of the name.
    ++i;
    while (i < n && !isTagSpace(tag[i]) && tag[i] != '=' && tag[i] != '>' && tag[i] != '/') ++i;
    const std::string_view attribute = tag.substr(nameBegin, i - nameBegin);
    size_t at = i;
    while (at < n && isTagSpace(tag[at])) ++at;
    std::string_view found;
    if (at < n && tag[at] == '=') {
      ++at;
      while (at < n && isTagSpace(tag[at])) ++at;
      if (at < n && (tag[at] == '"' || tag[at] == '\'')) {
        const size_t close = tag.find(tag[at], at + 1);
        const size_t end = close == std::string_view::npos ? n : close;
        found = tag.substr(at + 1, end - at - 1);
        at = close == std::string_view::npos ? n : close + 1;
      } else {
        const size_t begin = at;
        while (at < n && !isTagSpace(tag[at]) && tag[at] != '>') ++at;
        found = tag.substr(begin, at - begin);
      }
      i = at;
    }
    if (equalsLower(attribute, name)) return found;
  }
  return std::nullopt;
}

bool marksNoTranslate(std::string_view tag) {
  // Most tags name neither attribute: a quick look before reading them.
  bool mentions = false;
  for (size_t i = 0; i + 9 <= tag.size() && !mentions; ++i)
    mentions = equalsLower(tag.substr(i, 9), "translate");
  if (!mentions) return false;
  if (auto translate = value(tag, "translate"); translate && equalsLower(trimmed(*translate), "no"))
    return true;
  if (auto classes = value(tag, "class")) {
    std::string_view rest = *classes;
    while (!rest.empty()) {
      while (!rest.empty() && isTagSpace(rest.front())) rest.remove_prefix(1);
      size_t end = 0;
      while (end < rest.size() && !isTagSpace(rest[end])) ++end;
      if (equalsLower(rest.substr(0, end), "notranslate")) return true;
      rest.remove_prefix(end);
    }
  }
  return false;
}

}  // namespace qy::HTMLAttributes
