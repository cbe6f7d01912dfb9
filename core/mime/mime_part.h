// MIMEPart and MIMEField: one parsed MIME entity of a message, and one of its header fields.
//
// Ownership: the message bytes belong to the caller of MIME::parse, which never copies them.
// Every range here is a half-open byte range into that one buffer, so the buffer must outlive
// the tree and must not change while the tree is used. A part owns its children; the root,
// returned as a unique_ptr, owns the whole tree. Parts have identity (copies are deleted): the
// root is told from a nested part by comparing addresses.
//
// Threads: a tree is complete when MIME::parse returns and is immutable afterwards; it belongs to
// the one caller that built it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qy {

// An owned byte buffer (a decoded body, a rebuilt message).
using Bytes = std::vector<uint8_t>;
// Borrowed bytes: a whole message or a slice of it. A Bytes converts to it without copying.
using ByteView = std::span<const uint8_t>;

// A half-open range of byte offsets [begin, end).
struct ByteRange {
  size_t begin = 0;
  size_t end = 0;

  size_t size() const { return end - begin; }
  bool empty() const { return begin == end; }
  // The bytes of this range inside `bytes`; requires end <= bytes.size().
  ByteView of(ByteView bytes) const { return bytes.subspan(begin, end - begin); }
  bool operator==(const ByteRange&) const = default;
};

// One header field. `name` is the text before the first colon, lower-cased, not trimmed;
// `value` the trimmed text after it, with continuation lines appended as " " + trimmed text;
// `raw` the field's bytes in the message, line terminators included.
struct MIMEField {
  std::string name;
  std::string value;
  ByteRange raw;

  bool operator==(const MIMEField&) const = default;
};

class MIMEPart {
 public:
  // Builds a part and derives type, params, encoding and disposition from the fields.
  MIMEPart(ByteRange headerRange, ByteRange bodyRange, std::vector<MIMEField> fields);
  MIMEPart(const MIMEPart&) = delete;
  MIMEPart& operator=(const MIMEPart&) = delete;

  // The header block, from the part's first byte to the line that ended it.
  const ByteRange& headerRange() const { return headerRange_; }
  // The body, to the end of the part.
  const ByteRange& bodyRange() const { return bodyRange_; }
  // Header fields in order of appearance; repeated names all stay.
  const std::vector<MIMEField>& fields() const { return fields_; }
  // Sub-parts of a split multipart entity, in order; empty for every other part.
  const std::vector<std::unique_ptr<MIMEPart>>& children() const { return children_; }
  // Media type, lower-cased, without parameters ("text/plain" when missing or empty).
  const std::string& type() const { return type_; }
  // Content-Type parameters; keys lower-case, the first occurrence of a key wins.
  const std::map<std::string, std::string>& params() const { return params_; }
  // Content-Transfer-Encoding, trimmed and lower-cased; "7bit" when absent.
  const std::string& encoding() const { return encoding_; }
  // Content-Disposition type, lower-cased; "" when absent.
  const std::string& disposition() const { return disposition_; }

  // The value of the first field whose name equals `name` exactly (names are lower-case).
  std::optional<std::string> field(std::string_view name) const;

  // Used by the parser while it builds the tree; never called afterwards.
  void appendChild(std::unique_ptr<MIMEPart> child) { children_.push_back(std::move(child)); }

 private:
  const MIMEField* firstField(std::string_view name) const;

  ByteRange headerRange_;
  ByteRange bodyRange_;
  std::vector<MIMEField> fields_;
  std::vector<std::unique_ptr<MIMEPart>> children_;
  std::string type_;
  std::map<std::string, std::string> params_;
  std::string encoding_;
  std::string disposition_;
};

}  // namespace qy
