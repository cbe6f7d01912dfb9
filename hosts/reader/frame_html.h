// The HTML document that the reader's sandboxed message frame shows: the message's body with
// its inline images ("cid:" references to parts of the same message) turned into data: URLs, and
// with what could take the frame elsewhere or reach the sender removed: frames, plugins and every
// <meta http-equiv> (core/doc/embedded_content.h), <base> elements, and the target attributes of
// links (every link then aims at a new window, which the
// sandbox refuses). Scripts and remote loads are left to the frame's sandbox and its
// Content-Security-Policy; remote images are counted so the page can say they were blocked.
// Pure functions; any thread.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace qy::reader {

struct FrameHtml {
  std::string html;
  size_t remoteImages = 0;  // <img> sources and CSS url() values on http(s) or "//"
  bool operator==(const FrameHtml&) const = default;
};

// `inlineImages` maps a Content-ID (without angle brackets) to the data: URL of its part;
// `locatedImages` maps a Content-Location to it, for bodies (web pages saved as mail) whose
// images are named by their location: an <img src> or background that names one exactly.
FrameHtml prepareFrameHtml(std::string_view html, const std::map<std::string, std::string>& inlineImages,
                           const std::map<std::string, std::string>& locatedImages = {});

// A plain-text body as an HTML document: escaped, line breaks kept, long lines wrapped.
std::string plainTextDocument(std::string_view text);

}  // namespace qy::reader

namespace qy::reader {

// The document as it shows under a colour scheme the reader chose, not the browser's: media
// conditions on prefers-color-scheme become conditions that always or never hold, and the root
// takes that scheme (so a mail without colours of its own gets the scheme's canvas and text).
std::string withColorScheme(std::string_view html, bool dark);

}  // namespace qy::reader
