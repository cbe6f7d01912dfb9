// Character sets of message bodies: naming them (an alias table, then ICU's IANA registry) and
// turning a decoded body into text.
//
// Every returned string is valid UTF-8. Pure functions over ICU's converters; callable from any
// thread (each call opens its own converter).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/mime/mime_part.h"

namespace qy::MIME {

// A character set that bytes can be decoded with: ICU's canonical converter name.
struct StringEncoding {
  std::string name;
  bool operator==(const StringEncoding&) const = default;
};

// The encoding for a declared charset name: trimmed and lower-cased, "gb2312", "gbk",
// "gb_2312-80" and "x-gbk" read as "gb18030", then looked up as an IANA (or MIME) name, else
// among the converter table's other aliases ("cp1252", "windows-874", "x-mac-roman").
// Nothing for no name, an empty name or a name the registry does not know.
std::optional<StringEncoding> stringEncoding(std::optional<std::string_view> charset);

// The body text. The declared charset wins; only an HTML body without a usable declared charset
// is searched for a charset declaration in its first 4096 bytes. A body that does not decode
// without error in that charset is read as UTF-8, with U+FFFD for invalid sequences.
std::string decodeString(ByteView bytes, std::optional<std::string_view> charset, bool isHTML);

// The bytes decoded in `encoding`, or nothing at the first byte sequence the charset does not
// define. The result is valid UTF-8.
std::optional<std::string> decodeStrict(ByteView bytes, const StringEncoding& encoding);

}  // namespace qy::MIME
