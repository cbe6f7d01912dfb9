// Attachments as files: the blocks of a uuencoded text ("begin 644 name" … "end") that old mail
// programs put into a plain-text body, and the Content-Disposition value that makes a browser
// save a file under its own name (RFC 6266: an ASCII fallback, and the RFC 5987 form for the
// rest).
//
// Pure functions over their arguments; callable from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/mime/mime_part.h"

namespace qy::reader {

// Uuencoded bytes held at most per file; a longer block is cut there (a text body is bounded by
// the message, this keeps a single file within what the reader serves).
inline constexpr size_t kMaxUudecodedBytes = 64u << 20;

struct UuencodedFile {
  std::string name;  // as written after the mode, blanks trimmed ("" when none)
  Bytes data;
  bool operator==(const UuencodedFile&) const = default;
};

// Every complete uuencoded block of `text`, in order. A block without its "end" line is not a
// file (the text is shown as it is); lines that are not uuencoded data inside a block are
// skipped, as uudecode does.
std::vector<UuencodedFile> findUuencoded(std::string_view text);

// `attachment; filename="…"; filename*=UTF-8''…` for a file named `name`. The quoted fallback
// keeps printable ASCII (other characters become '_'); path separators and control characters
// never reach either form.
std::string attachmentDisposition(std::string_view name);

}  // namespace qy::reader
