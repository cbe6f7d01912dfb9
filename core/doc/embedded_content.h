// Taking out of a mail's HTML what would load another document or a plugin when it is shown:
// iframe, frame, frameset, object, embed, applet, portal and fencedframe elements (an iframe with
// its content, the others keep theirs as fallback text), and every <meta http-equiv> (a refresh
// could take the frame elsewhere, however its value is written). A sandboxed frame with a strict
// policy blocks these loads, but the browser may still connect to the sender first, which tells
// the sender that the mail was opened and from where.
//
// The elements are found by the tokenizer; then, so that no difference between it and a
// browser's parser (an unusual comment end, say) can let one through, every remaining "<iframe",
// "</object", … anywhere in the text, and every "<meta" outside a tag the tokenizer saw, is
// escaped to text ("&lt;iframe"). Pure function; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qy {

std::string withoutEmbeddedContent(std::string_view html);

}  // namespace qy
