// The shown body of a decoded message: its text part as HTML, inline images as data: URLs.
#include "extension/display_body.h"

#include <string_view>
#include <vector>

#include "core/doc/embedded_content.h"
#include "core/mime/mime.h"
#include "platform/base64.h"

namespace qy {
namespace {

std::string escapeHTML(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// The parts of the tree that carry a Content-ID, depth first (explicit stack: a hostile message
// nests deeply, though the parser already stops splitting past its limit).
std::vector<const MIMEPart*> partsWithContentId(const MIMEPart& root) {
  std::vector<const MIMEPart*> found;
  std::vector<const MIMEPart*> stack{&root};
  while (!stack.empty()) {
    const MIMEPart* part = stack.back();
    stack.pop_back();
    if (part->children().empty()) {
      if (part->field("content-id")) {
        found.push_back(part);
      }
      continue;
    }
    for (auto it = part->children().rbegin(); it != part->children().rend(); ++it) {
      stack.push_back(it->get());
    }
  }
  return found;
}

// "<id@host>" as the cid: URL names it: without the angle brackets.
std::string_view bareContentId(std::string_view id) {
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') {
    id = id.substr(1, id.size() - 2);
  }
  return id;
}

void inlineImages(std::string& html, ByteView message, const MIMEPart& root) {
  size_t inlined = 0;
  for (const MIMEPart* part : partsWithContentId(root)) {
    const std::string id(bareContentId(*part->field("content-id")));
    const std::string url = "cid:" + id;
    if (id.empty() || part->type().rfind("image/", 0) != 0 || html.find(url) == std::string::npos) {
      continue;
    }
    const Bytes bytes = MIME::decodeBody(message, *part);
    if (inlined + bytes.size() > kMaxInlinedImageBytes) {
      continue;
    }
    inlined += bytes.size();
    replaceAll(html, url, "data:" + part->type() + ";base64," +
                               platform::base64Encode(std::string_view(
                                   reinterpret_cast<const char*>(bytes.data()), bytes.size())));
  }
}

}  // namespace

std::optional<std::string> displayBody(ByteView message) {
  const auto root = MIME::parse(message);
  const MIMEPart* part = MIME::findTextPart(*root);
  if (!part) {
    return std::nullopt;
  }
  const bool isHTML = part->type() == "text/html";
  std::optional<std::string_view> charset;
  if (auto it = part->params().find("charset"); it != part->params().end()) {
    charset = it->second;
  }
  const std::string text = MIME::decodeString(MIME::decodeBody(message, *part), charset, isHTML);
  if (!isHTML) {
    return "<!DOCTYPE html><meta charset=\"utf-8\">"
           "<pre style=\"white-space: pre-wrap; font: inherit\">" + escapeHTML(text) + "</pre>";
  }
  // Frames, plugins and refreshes would reach the sender when shown, whatever the frame allows.
  std::string html = withoutEmbeddedContent(text);
  inlineImages(html, message, *root);
  return html;
}

}  // namespace qy
