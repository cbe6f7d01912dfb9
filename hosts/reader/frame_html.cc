// Preparing a message body for the sandboxed frame.
#include "hosts/reader/frame_html.h"

#include <vector>

#include "core/base/unicode.h"
#include "core/doc/embedded_content.h"
#include "core/doc/html_tokenizer.h"
#include "core/doc/style.h"

namespace qy::reader {
namespace {

struct Attribute {
  std::string_view name;  // as written
  std::string_view value;  // without quotes; entities still encoded
  size_t begin = 0, end = 0;  // the whole attribute in the tag's text, leading blanks included
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '/'; }

// The attributes of a start tag's text ("<a href=x target=_blank>").
std::vector<Attribute> attributesOf(std::string_view tag) {
  std::vector<Attribute> out;
  size_t i = 1;
  while (i < tag.size() && !isSpace(tag[i]) && tag[i] != '>') ++i;  // the tag name
  while (i < tag.size()) {
    const size_t begin = i;
    while (i < tag.size() && isSpace(tag[i])) ++i;
    if (i >= tag.size() || tag[i] == '>') break;
    const size_t nameBegin = i;
    while (i < tag.size() && !isSpace(tag[i]) && tag[i] != '>' && tag[i] != '=') ++i;
    Attribute a{tag.substr(nameBegin, i - nameBegin), {}, begin, i};
    size_t j = i;
    while (j < tag.size() && (tag[j] == ' ' || tag[j] == '\t' || tag[j] == '\n' || tag[j] == '\r')) ++j;
    if (j < tag.size() && tag[j] == '=') {
      ++j;
      while (j < tag.size() && (tag[j] == ' ' || tag[j] == '\t' || tag[j] == '\n' || tag[j] == '\r')) ++j;
      if (j < tag.size() && (tag[j] == '"' || tag[j] == '\'')) {
        const char quote = tag[j];
        const size_t close = tag.find(quote, j + 1);
        const size_t stop = close == std::string_view::npos ? tag.size() : close;
        a.value = tag.substr(j + 1, stop - j - 1);
        i = close == std::string_view::npos ? tag.size() : close + 1;
      } else {
        const size_t start = j;
        while (j < tag.size() && !isSpace(tag[j]) && tag[j] != '>') ++j;
        a.value = tag.substr(start, j - start);
        i = j;
      }
      a.end = i;
    }
    if (a.name.empty()) {
      ++i;
      continue;
    }
    out.push_back(a);
  }
  return out;
}

bool isRemote(std::string_view url) {
  const std::string lower = Unicode::lowercased(Unicode::trimBlanks(url).substr(0, 8));
  return lower.starts_with("http:") || lower.starts_with("https:") || lower.starts_with("//");
}

// The tag's text without the attributes named `drop` (lower-case).
std::string withoutAttribute(std::string_view tag, std::string_view drop) {
  std::string out;
  size_t copied = 0;
  for (const auto& a : attributesOf(tag)) {
    if (Unicode::lowercased(a.name) != drop) continue;
    out.append(tag.substr(copied, a.begin - copied));
    copied = a.end;
  }
  out.append(tag.substr(copied));
  return out;
}

// Counts CSS url(...) values on remote hosts in a text (a style element or attribute).
size_t remoteCssUrls(std::string_view css) {
  size_t count = 0;
  const std::string lower = Unicode::lowercased(css);
  size_t pos = 0;
  while ((pos = lower.find("url(", pos)) != std::string::npos) {
    pos += 4;
    size_t start = pos;
    while (start < lower.size() && (lower[start] == ' ' || lower[start] == '"' || lower[start] == '\''))
      ++start;
    if (isRemote(std::string_view(lower).substr(start))) ++count;
  }
  return count;
}

// Replaces "cid:ID" references whose ID names an inline image (URL-escaped or not).
std::string replaceCidReferences(std::string_view html, const std::map<std::string, std::string>& images) {
  if (images.empty()) return std::string(html);
  std::string out;
  out.reserve(html.size());
  size_t copied = 0;
  const std::string lower = Unicode::lowercased(html);
  size_t pos = 0;
  while ((pos = lower.find("cid:", pos)) != std::string::npos) {
    size_t end = pos + 4;
    while (end < html.size() && html[end] != '"' && html[end] != '\'' && html[end] != ')' &&
           html[end] != '>' && !isSpace(html[end]) && html[end] != '<')
      ++end;
    std::string id(html.substr(pos + 4, end - pos - 4));
    // cid URLs escape with %XX what the Content-ID writes plainly.
    std::string unescaped;
    for (size_t i = 0; i < id.size(); ++i) {
      auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      };
      if (id[i] == '%' && i + 2 < id.size() && hex(id[i + 1]) >= 0 && hex(id[i + 2]) >= 0) {
        unescaped.push_back(static_cast<char>(hex(id[i + 1]) * 16 + hex(id[i + 2])));
        i += 2;
      } else {
        unescaped.push_back(id[i]);
      }
    }
    auto it = images.find(unescaped);
    if (it == images.end()) it = images.find(id);
    if (it != images.end()) {
      out.append(html.substr(copied, pos - copied));
      out.append(it->second);
      copied = end;
    }
    pos = end;
  }
  out.append(html.substr(copied));
  return out;
}

// The tag's text with the image sources that name a located image turned into its data: URL.
std::string withLocatedImages(const HTok& t, const std::map<std::string, std::string>& located) {
  std::string tag(t.raw);
  const auto attributes = attributesOf(t.raw);
  // From the last attribute back, so the earlier ones keep their places.
  for (auto a = attributes.rbegin(); a != attributes.rend(); ++a) {
    const std::string name = Unicode::lowercased(a->name);
    if (!((name == "src" && t.name == "img") || name == "background")) continue;
    const auto it = located.find(std::string(Unicode::trimBlanks(a->value)));
    if (it == located.end()) continue;
    tag.replace(a->begin, a->end - a->begin, " " + std::string(a->name) + "=\"" + it->second + "\"");
  }
  return tag;
}

}  // namespace

FrameHtml prepareFrameHtml(std::string_view html, const std::map<std::string, std::string>& inlineImages,
                           const std::map<std::string, std::string>& locatedImages) {
  FrameHtml out;
  // Frames, plugins and refreshes go first: shown, they would reach the sender.
  const auto tokens = HTMLTokenizer::tokenize(withoutEmbeddedContent(html));
  std::string body;
  body.reserve(html.size());
  for (HTok t : tokens) {
    std::string located;
    if (t.kind == HTok::Kind::open && !locatedImages.empty()) {
      located = withLocatedImages(t, locatedImages);
      t.raw = located;
    }
    if (t.kind == HTok::Kind::open) {
      if (t.name == "base") continue;
      for (const auto& a : attributesOf(t.raw)) {
        const std::string name = Unicode::lowercased(a.name);
        if ((name == "src" && t.name == "img") || name == "background") out.remoteImages += isRemote(a.value);
        if (name == "style") out.remoteImages += remoteCssUrls(a.value);
      }
      if (t.name == "a" || t.name == "area" || t.name == "form") {
        std::string tag = withoutAttribute(t.raw, "target");
        if (t.name == "form") tag = withoutAttribute(tag, "action");
        body.append(tag);
        continue;
      }
    } else if (t.kind == HTok::Kind::other && t.raw.find("url(") != std::string_view::npos) {
      out.remoteImages += remoteCssUrls(t.raw);
    }
    body.append(t.raw);
  }
  body = replaceCidReferences(body, inlineImages);
  // Links aim at a new window, which the frame's sandbox does not allow to open. The element
  // goes after a leading doctype, which must stay first to keep the document in standards mode.
  size_t at = 0;
  const size_t start = body.find_first_not_of(" \t\r\n");
  if (start != std::string::npos && Unicode::lowercased(std::string_view(body).substr(start, 9)) == "<!doctype")
    if (const size_t close = body.find('>', start); close != std::string::npos) at = close + 1;
  out.html = body.substr(0, at) + "<base target=\"_blank\">" + body.substr(at);
  return out;
}

std::string plainTextDocument(std::string_view text) {
  std::string out =
      "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><meta name=\"color-scheme\" content=\"light dark\"><style>"
      "body{margin:12px;font:14px/1.5 sans-serif}"
      "pre{white-space:pre-wrap;overflow-wrap:anywhere;font:inherit;margin:0}"
      "</style></head><body><pre>";
  out += Style::escape(text);
  out += "</pre></body></html>";
  return out;
}

}  // namespace qy::reader

namespace qy::reader {

std::string withColorScheme(std::string_view html, bool dark) {
  static constexpr std::string_view kFeature = "prefers-color-scheme";
  const std::string lower = Unicode::lowercased(html);
  std::string out;
  size_t copied = 0;
  size_t pos = 0;
  auto skipBlanks = [&](size_t i) {
    while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t' || lower[i] == '\n' || lower[i] == '\r')) ++i;
    return i;
  };
  while ((pos = lower.find(kFeature, pos)) != std::string::npos) {
    // "(" blanks "prefers-color-scheme" blanks ":" blanks ("dark"|"light") blanks ")"
    size_t open = pos;
    while (open > 0 && (lower[open - 1] == ' ' || lower[open - 1] == '\t')) --open;
    size_t i = skipBlanks(pos + kFeature.size());
    if (open == 0 || lower[open - 1] != '(' || i >= lower.size() || lower[i] != ':') {
      pos += kFeature.size();
      continue;
    }
    i = skipBlanks(i + 1);
    const bool wantsDark = lower.compare(i, 4, "dark") == 0;
    const bool wantsLight = lower.compare(i, 5, "light") == 0;
    size_t close = skipBlanks(i + (wantsDark ? 4 : 5));
    if ((!wantsDark && !wantsLight) || close >= lower.size() || lower[close] != ')') {
      pos += kFeature.size();
      continue;
    }
    out.append(html.substr(copied, open - 1 - copied));
    // (color) holds on every screen; (not (color)) on none.
    out.append(wantsDark == dark ? "(color)" : "(not (color))");
    copied = pos = close + 1;
  }
  out.append(html.substr(copied));
  out.append(dark ? "<style>:root{color-scheme:dark !important}</style>"
                  : "<style>:root{color-scheme:light !important}</style>");
  return out;
}

}  // namespace qy::reader
