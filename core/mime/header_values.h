// Header values as a mail client shows them, beyond encoded words (header_words.h): the display
// name of an address list, the RFC 5322 date as a time for sorting, an attachment's file name
// (RFC 2047 words or RFC 2231 "utf-8''%E4%B8%AD.pdf"), and the %XX escapes that both RFC 2231
// values and cid: URLs use.
//
// Pure functions over their arguments; callable from any thread. Every returned text is valid
// UTF-8 except percentDecoded(), which returns the bytes the escapes name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qy {
class MIMEPart;
}

namespace qy::MIME {

// The part of an address list worth showing in a list: the display name of the first address
// when it has one (quotes removed), else its address. Takes the field as written: an encoded
// display name may decode to a comma, which must not split the list.
std::string displayName(std::string_view addresses);

// Seconds since the epoch (UTC) of an RFC 5322 date ("Thu, 10 Dec 2026 09:30:00 +0100"),
// tolerant of a missing weekday, missing seconds, obsolete zone names and trailing comments.
// Nothing when the text is not a date.
std::optional<int64_t> parseMailDate(std::string_view value);

// `text` with every well-formed "%XX" replaced by the byte it names; other '%' stay.
std::string percentDecoded(std::string_view text);

// The file name `part` gives itself (Content-Disposition's filename, else Content-Type's name),
// decoded; "" when it gives none.
std::string fileName(const MIMEPart& part);

}  // namespace qy::MIME
