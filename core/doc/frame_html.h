// The HTML document that a host's sandboxed message frame shows: the message's body with its
// inline images ("cid:" references to parts of the same message, or their Content-Location)
// turned into data: URLs, and with what could take the frame elsewhere or reach the sender
// removed: frames, plugins and every <meta http-equiv> (embedded_content.h), <base> elements,
// <link> elements other than style sheets (prefetch, preconnect, dns-prefetch), the target
// attributes of links and the actions of forms (every link then aims at a new window, which the
// sandbox refuses). Scripts and remote loads are left to the frame's sandbox and its
// Content-Security-Policy; remote images are counted so that a host can say they were blocked.
// Pure functions; any thread.
#pragma once

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace qy {

// The data: URLs of a message's image parts, by how the body may name them.
struct InlineImages {
  std::map<std::string, std::string> byContentId;  // Content-ID without angle brackets
  // Content-Location, for bodies (web pages saved as mail) whose images are named by their
  // location: an <img src> or background attribute that names one exactly.
  std::map<std::string, std::string> byLocation;
};

struct FrameHtml {
  std::string html;
  size_t remoteImages = 0;  // <img> sources, background attributes and CSS url() on http(s) or "//"
  bool operator==(const FrameHtml&) const = default;
};

FrameHtml prepareFrameHtml(std::string_view html, const InlineImages& images = {});

// The Content-IDs that the body's "cid:" URLs name, each as written and with its %XX escapes
// decoded, so a caller inlines only images the body shows.
std::set<std::string> citedContentIds(std::string_view html);

// A plain-text body as an HTML document: escaped, line breaks kept, long lines wrapped.
std::string plainTextDocument(std::string_view text);

}  // namespace qy
