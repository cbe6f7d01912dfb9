// Preparing a message body for the sandboxed frame.
#include "core/doc/frame_html.h"

#include <set>
#include <vector>

#include "core/base/unicode.h"
#include "core/doc/embedded_content.h"
#include "core/doc/html_tokenizer.h"
#include "core/doc/style.h"
#include "core/mime/header_values.h"

namespace qy {
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

// A <link> whose rel is exactly "stylesheet" (any case, blanks around it).
bool isStyleSheetLink(std::string_view tag) {
  for (const auto& a : attributesOf(tag))
    if (Unicode::lowercased(a.name) == "rel") return Unicode::lowercased(Unicode::trimBlanks(a.value)) == "stylesheet";
  return false;
}

// Whether `c` ends a cid: URL written in an attribute or a CSS url().
bool endsURL(char c) { return c == '"' || c == '\'' || c == ')' || c == '>' || c == '<' || isSpace(c); }

// Calls `visit(begin, end, id)` for every "cid:" URL in `html` (any case), `id` as written.
template <typename Visit>
void forEachCidURL(std::string_view html, Visit visit) {
  const std::string lower = Unicode::lowercased(html);
  size_t pos = 0;
  while ((pos = lower.find("cid:", pos)) != std::string::npos) {
    size_t end = pos + 4;
    while (end < html.size() && !endsURL(html[end])) ++end;
    visit(pos, end, html.substr(pos + 4, end - pos - 4));
    pos = end;
  }
}

// Replaces "cid:ID" references whose ID names an inline image (URL-escaped or not).
std::string replaceCidReferences(std::string_view html, const std::map<std::string, std::string>& images) {
  if (images.empty()) return std::string(html);
  std::string out;
  out.reserve(html.size());
  size_t copied = 0;
  forEachCidURL(html, [&](size_t begin, size_t end, std::string_view id) {
    // cid URLs escape with %XX what the Content-ID writes plainly.
    auto it = images.find(MIME::percentDecoded(id));
    if (it == images.end()) it = images.find(std::string(id));
    if (it == images.end()) return;
    out.append(html.substr(copied, begin - copied));
    out.append(it->second);
    copied = end;
  });
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

std::set<std::string> citedContentIds(std::string_view html) {
  std::set<std::string> ids;
  forEachCidURL(html, [&](size_t, size_t, std::string_view id) {
    ids.insert(std::string(id));
    ids.insert(MIME::percentDecoded(id));
  });
  return ids;
}

FrameHtml prepareFrameHtml(std::string_view html, const InlineImages& images) {
  const auto& locatedImages = images.byLocation;
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
      // Links that fetch ahead (prefetch, preconnect, dns-prefetch, preload…) may reach the
      // network before, or outside, any policy; only a style sheet stays (its remote load is
      // blocked by the frame's policy).
      if (t.name == "link" && !isStyleSheetLink(t.raw)) continue;
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
  body = replaceCidReferences(body, images.byContentId);
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

}  // namespace qy
