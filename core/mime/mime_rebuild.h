// Rebuilding a message around a new HTML body: the chosen part's header and body are replaced,
// every other byte of the message is copied unchanged.
//
// The message bytes and the tree belong to the caller; the result is a fresh buffer, reserved
// once. Pure functions; callable from any thread.
#pragma once

#include <string>
#include <string_view>

#include "core/mime/mime_part.h"

namespace qy::MIME {

// Characters per line of a rebuilt Base64 body.
inline constexpr size_t kBase64LineLength = 76;

// The message with `part` replaced by a UTF-8 HTML part in Base64. `isRoot` tells whether `part`
// is the root of the tree (only the root gets "MIME-Version: 1.0", and only when it has none).
// The line terminator of the new lines is CR LF when any of the first 4000 bytes is CR, else LF.
// Requires the tree to have been parsed from `bytes`.
Bytes replacing(ByteView bytes, const MIMEPart& part, bool isRoot, std::string_view html);

// Standard Base64 with '=' fill, in lines of kBase64LineLength characters separated by `eol`,
// with no terminator after the last line; appended to `out`.
void appendBase64Lines(Bytes& out, std::string_view data, std::string_view eol);
// The number of bytes appendBase64Lines appends.
size_t base64LinesSize(size_t dataSize, size_t eolSize);

}  // namespace qy::MIME
