// Choosing the text body of a message and removing its transfer encoding.
//
// The tree and the message bytes belong to the caller (see mime_part.h); results are fresh
// buffers or pointers into the caller's tree. Pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/mime/mime_part.h"

namespace qy::MIME {

// The body to translate: the first eligible "text/html" part, else the first eligible
// "text/plain" part, else nothing. The result points into the tree under `root`.
const MIMEPart* findTextPart(const MIMEPart& root);

// The first part of media type `type` in depth-first pre-order that is not an attachment, has
// no children and a non-empty body. Attached messages (message/rfc822) are never entered.
const MIMEPart* find(const MIMEPart& part, std::string_view type);

// The part's body with its transfer encoding ("base64", "quoted-printable") removed; any other
// encoding gives the body bytes unchanged. Requires the tree to have been parsed from `bytes`.
Bytes decodeBody(ByteView bytes, const MIMEPart& part);

// A text part's body as UTF-8: transfer encoding removed, then read in its declared charset
// (decodeString(); an HTML part may declare it in the document instead).
std::string decodeText(ByteView bytes, const MIMEPart& part);

// The parts without children under `root`, in document order (`root` itself when it has none).
std::vector<const MIMEPart*> leaves(const MIMEPart& root);

// Quoted-printable: "=XX" escapes (either case) become their byte, "=" before LF or CR LF is a
// soft line break, and every malformed escape is copied literally.
Bytes decodeQuotedPrintable(ByteView bytes);

// Base64 over the standard alphabet, forgiving so that a damaged body still shows its text:
// bytes outside the alphabet are skipped, decoding stops at the first '=', missing '=' fill is
// accepted, and a lone final character that cannot make a byte is dropped.
Bytes decodeBase64(ByteView bytes);

}  // namespace qy::MIME
