// The body a host shows in place of the mail client's own rendering of a decoded message: the
// message's text body as one UTF-8 HTML document.
//
// A plain-text body becomes preformatted, escaped text. An HTML body loses what would load
// another document or a plugin, and its refreshes (core/doc/embedded_content.h). Images the HTML refers to as parts of
// the message ("cid:" URLs) are carried inside it as data: URLs, because the frame that shows the
// body loads nothing from anywhere. Pure function; any thread.
#pragma once

#include <optional>
#include <string>

#include "core/mime/mime_part.h"

namespace qy {

// Bytes of inline images carried into one body at most; images past it keep their cid: URL
// (and show as missing) rather than making the answer to the host arbitrarily large.
inline constexpr size_t kMaxInlinedImageBytes = size_t{16} << 20;

// The HTML to show for `message`; nothing when it has no text body to show.
std::optional<std::string> displayBody(ByteView message);

}  // namespace qy
