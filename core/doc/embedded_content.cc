// Removing embedded documents and refreshes from HTML; see embedded_content.h.
#include "core/doc/embedded_content.h"

#include <array>

#include "core/doc/html_tokenizer.h"

namespace qy {
namespace {

// Elements that make the browser load something of their own, whatever a policy then says.
constexpr std::array<std::string_view, 8> kEmbedders = {"iframe", "frame",  "frameset", "object",
                                                         "embed",  "applet", "portal",   "fencedframe"};

bool isEmbedder(std::string_view lowerName) {
  for (std::string_view name : kEmbedders)
    if (name == lowerName) return true;
  return false;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == ':' ||
         c == '_' || c == '.' || static_cast<unsigned char>(c) >= 0x80;
}

// The tag name after "<" or "</" at `at`, lower-cased (empty when none).
std::string tagNameAt(std::string_view text, size_t at) {
  size_t i = at + 1;
  if (i < text.size() && text[i] == '/') ++i;
  std::string name;
  while (i < text.size() && isNameChar(text[i]) && name.size() < 16) name += lower(text[i++]);
  return name;
}

// A <meta> start tag with an http-equiv attribute (its value does not matter).
bool isHttpEquivMeta(std::string_view raw) {
  std::string lowered;
  lowered.reserve(raw.size());
  for (char c : raw) lowered += lower(c);
  for (size_t at = lowered.find("http-equiv"); at != std::string::npos; at = lowered.find("http-equiv", at + 1)) {
    const char before = at > 0 ? lowered[at - 1] : ' ';
    const char after = at + 10 < lowered.size() ? lowered[at + 10] : '>';
    if ((before == ' ' || before == '\t' || before == '\n' || before == '\r' || before == '\f' || before == '/' ||
         before == '"' || before == '\'') &&
        !isNameChar(after))
      return true;
  }
  return false;
}

// `text` with every "<" that opens one of `names`' tags (or "<meta", when `meta`) written as "&lt;".
std::string escaped(std::string_view text, bool meta) {
  std::string out;
  out.reserve(text.size());
  size_t copied = 0;
  for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1)) {
    const std::string name = tagNameAt(text, at);
    if (!isEmbedder(name) && !(meta && name == "meta")) continue;
    out.append(text.substr(copied, at - copied));
    out.append("&lt;");
    copied = at + 1;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

std::string withoutEmbeddedContent(std::string_view html) {
  const HTMLTokenizer::Tokens tokens = HTMLTokenizer::tokenize(std::string(html));
  std::string out;
  out.reserve(html.size());
  bool inIframe = false;  // an iframe's content is never shown where iframes work: it goes too
  for (const HTok& t : tokens) {
    const bool tag = t.kind == HTok::Kind::open || t.kind == HTok::Kind::close;
    if (inIframe) {
      if (t.kind == HTok::Kind::close && t.name == "iframe") inIframe = false;
      continue;
    }
    if (tag && isEmbedder(t.name)) {
      if (t.kind == HTok::Kind::open && t.name == "iframe") inIframe = true;
      continue;
    }
    if (t.kind == HTok::Kind::open && t.name == "meta" && isHttpEquivMeta(t.raw)) continue;
    // A tag seen as a tag keeps its own "<"; anything else (text, comments, raw text) may hold
    // what a browser would read as a tag.
    out.append(tag ? std::string(t.raw) : escaped(t.raw, true));
  }
  return escaped(out, false);
}

}  // namespace qy
