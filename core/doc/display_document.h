// DisplayDocument: a decoded message as the one document every host shows in place of the mail
// client's rendering, in a sandboxed frame that runs no scripts and loads nothing from the network.
//
// The body is the MIME code's choice of text part (HTML before plain text), decoded from its
// charset. Plain text becomes an escaped, wrapped document; HTML goes through prepareFrameHtml()
// (frame_html.h): frames, plugins, refreshes, <base> and fetch-ahead links removed, remote
// images counted. The image parts the HTML names (by cid: URL or Content-Location) are carried
// inside it as data: URLs, within kMaxInlineImageBytes for the whole document: an image past the
// budget keeps its reference and shows as missing (a host may still offer it as an attachment),
// so that one message cannot make the document, and the answer that carries it, grow without bound.
//
// A plain value built by a pure function; any thread. Never fails: a message without a text body
// gets an empty document and `hasBody` false.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/mime/mime_part.h"

namespace qy {

// Decoded bytes of the inline images carried in one document, all together.
inline constexpr size_t kMaxInlineImageBytes = size_t{16} << 20;

struct DisplayDocument {
  std::string html;            // the document for the frame; "" without a body
  bool hasBody = false;
  bool plain = false;          // the body was plain text
  size_t remoteImages = 0;     // remote images blocked
  const MIMEPart* body = nullptr;  // the text part shown, in the tree given
  // The image parts carried inside `html`, in the tree given: shown, so not attachments.
  std::vector<const MIMEPart*> inlined;
  bool operator==(const DisplayDocument&) const = default;
};

// The document for `message`, whose parse tree is `root`. The pointers in the result point into
// `root`.
DisplayDocument displayDocument(ByteView message, const MIMEPart& root);

// The same, parsing `message` itself (its `body` and `inlined` are then left empty).
DisplayDocument displayDocument(ByteView message);

}  // namespace qy
