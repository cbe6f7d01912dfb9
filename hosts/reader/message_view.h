// MessageView: one message as the reader shows it: the header block (From, To, Cc, Date,
// Subject, decoded), the message's display document for the sandboxed frame
// (core/doc/display_document.h), and the attachments by name and size (MIME parts other than
// the images shown inline, and files uuencoded into a plain text).
// A plain value built by a pure function; any thread. Never fails: a message without a text body
// gets an empty document and `hasBody` false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/mime/mime_part.h"

namespace qy::reader {

struct Attachment {
  std::string name;  // decoded file name, or a made-up one ("附件 2") when the part names none
  std::string type;  // media type
  uintmax_t size = 0;  // decoded bytes
  bool operator==(const Attachment&) const = default;
};

struct MessageView {
  std::string from, to, cc, date, subject;
  std::string frameHtml;     // the document for the frame
  bool hasBody = false;
  bool plain = false;        // the body was plain text
  size_t remoteImages = 0;   // blocked remote images
  std::vector<Attachment> attachments;
  bool operator==(const MessageView&) const = default;
};

MessageView buildMessageView(std::string_view bytes);

// One listed attachment of a message with its decoded bytes (a MIME part, or a uuencoded file in
// the plain text), by its place in MessageView::attachments; nothing past the list.
struct AttachmentContent {
  Attachment attachment;
  Bytes data;
};
std::optional<AttachmentContent> attachmentContent(std::string_view bytes, size_t index);

// The view without its document: the fields the page draws itself.
nlohmann::json toJson(const MessageView& view);

}  // namespace qy::reader
