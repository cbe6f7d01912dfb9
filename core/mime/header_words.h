// Header field texts as written and as read: a field's value with the bytes the sender wrote
// (for a legacy charset), and RFC 2047 encoded words ("=?utf-8?B?…?=") decoded in any charset
// the MIME code knows. The engine reads the Subject with them; the reader its list and header.
//
// Pure functions over their arguments; callable from any thread. Every returned string is valid
// UTF-8: an encoded word whose charset is unknown or whose bytes do not decode stays as written.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qy {
class MIMEPart;
}

namespace qy::MIME {

// The value of `part`'s first field `name` with its bytes as written in `message` (folds joined
// by one space), or "" when there is none. The parser's own value has bytes that are not UTF-8
// already repaired; decodeHeaderWords() needs them to read a legacy charset.
std::string fieldAsWritten(std::string_view message, const MIMEPart& part, std::string_view name);

// The header value with its encoded words decoded. Blanks between two adjacent encoded words
// are dropped, as the standard asks. Bytes outside encoded words that are not UTF-8 (a sender
// that wrote its own charset into the header unencoded) are read in `fallbackCharset`, the
// charset the message declares for its text, when they decode in it; else repaired UTF-8.
std::string decodeHeaderWords(std::string_view value,
                              std::optional<std::string_view> fallbackCharset = std::nullopt);

}  // namespace qy::MIME
