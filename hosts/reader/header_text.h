// Header texts as a mail client shows them: RFC 2047 encoded words ("=?utf-8?B?…?=") decoded in
// any charset the project's MIME code knows, display names taken out of addresses, and the
// RFC 5322 date turned into a time for sorting and a short local text for the list.
//
// Pure functions over their arguments; callable from any thread. Every returned string is valid
// UTF-8: an encoded word whose charset is unknown or whose bytes do not decode stays as written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qy {
class MIMEPart;
}

namespace qy::reader {

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

// The part of an address list worth showing in a list: the display name of the first address
// when it has one (quotes removed), else its address. Takes the field as written: an encoded
// display name may decode to a comma, which must not split the list.
std::string displayName(std::string_view addresses);

// Seconds since the epoch (UTC) of an RFC 5322 date ("Thu, 10 Dec 2026 09:30:00 +0100"),
// tolerant of a missing weekday, missing seconds, obsolete zone names and trailing comments.
// Nothing when the text is not a date.
std::optional<int64_t> parseMailDate(std::string_view value);

}  // namespace qy::reader
