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

#include "core/mime/header_words.h"

namespace qy::reader {

// The field readers, shared with the engine (which reads the Subject with them).
using MIME::decodeHeaderWords;
using MIME::fieldAsWritten;

// The part of an address list worth showing in a list: the display name of the first address
// when it has one (quotes removed), else its address. Takes the field as written: an encoded
// display name may decode to a comma, which must not split the list.
std::string displayName(std::string_view addresses);

// Seconds since the epoch (UTC) of an RFC 5322 date ("Thu, 10 Dec 2026 09:30:00 +0100"),
// tolerant of a missing weekday, missing seconds, obsolete zone names and trailing comments.
// Nothing when the text is not a date.
std::optional<int64_t> parseMailDate(std::string_view value);

}  // namespace qy::reader
