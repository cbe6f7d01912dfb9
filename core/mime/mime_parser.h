// The MIME structure parser: turns the raw bytes of one message into a tree of MIMEParts whose
// headers are decoded into fields and whose bodies stay byte ranges into the caller's buffer.
//
// Tolerant everywhere but in one respect: multipart delimiters are matched byte for byte. Any
// byte sequence, the empty one included, yields a tree; nothing here throws.
// Pure functions; callable from any thread. See mime_part.h for who owns the bytes.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/mime/mime_part.h"

namespace qy::MIME {

// Multipart entities nested deeper than this are kept as leaves: a part at this depth is never
// split. The root has depth 0.
inline constexpr int kMaxDepth = 12;

// At most this many parts are built for one message (real mail has at most a few hundred). A
// message of nothing but delimiter lines would otherwise build millions of parts, some 240 bytes
// each; past the limit, further children are left out of the tree and multiparts stay leaves,
// as past the depth limit. The bytes themselves are untouched either way.
inline constexpr size_t kMaxParts = 100'000;

// Parses the whole message. The returned tree refers to `bytes`, which must outlive it.
std::unique_ptr<MIMEPart> parse(ByteView bytes);

// Parses the part that occupies `range` of `bytes` at nesting depth `depth`, children included.
// A range reaching past the buffer is clamped to it.
std::unique_ptr<MIMEPart> parsePart(ByteView bytes, ByteRange range, int depth);

// Splits a header value such as `text/html; charset="utf-8"` into its head (trimmed,
// lower-cased) and its parameters (keys trimmed and lower-cased, a trailing '*' dropped; values
// trimmed, one pair of enclosing quotes removed; the first occurrence of a key wins).
std::pair<std::string, std::map<std::string, std::string>> parseParams(std::string_view value);

}  // namespace qy::MIME
