// Building the reader's view of one message with the project's MIME code.
#include "hosts/reader/message_view.h"

#include <set>

#include "core/doc/display_document.h"
#include "core/mime/header_values.h"
#include "core/mime/header_words.h"
#include "core/mime/mime.h"
#include "hosts/reader/attachment_file.h"

namespace qy::reader {
namespace {

ByteView asBytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

bool isMultipart(const MIMEPart& part) { return part.type().starts_with("multipart/"); }

// The view of `text`; with `files`, also each listed attachment's bytes, in the list's order.
MessageView build(std::string_view text, std::vector<Bytes>* files) {
  const ByteView bytes = asBytes(text);
  const auto root = MIME::parse(bytes);
  MessageView view;
  const DisplayDocument document = displayDocument(bytes, *root);
  const MIMEPart* body = document.body;
  // Header bytes written unencoded in a legacy charset are read in the charset of the message's
  // text, as mail clients do.
  std::optional<std::string_view> textCharset;
  for (const MIMEPart* part : {static_cast<const MIMEPart*>(root.get()), body}) {
    if (!part || textCharset) continue;
    if (auto it = part->params().find("charset"); it != part->params().end()) textCharset = it->second;
  }
  auto header = [&](std::string_view name) {
    return MIME::decodeHeaderWords(MIME::fieldAsWritten(text, *root, name), textCharset);
  };
  view.from = header("from");
  view.to = header("to");
  view.cc = header("cc");
  view.date = header("date");
  view.subject = header("subject");

  view.frameHtml = document.html;
  view.hasBody = document.hasBody;
  view.plain = document.plain;
  view.remoteImages = document.remoteImages;
  const std::set<const MIMEPart*> inlined(document.inlined.begin(), document.inlined.end());
  // Old mail programs put files into the text itself.
  std::vector<UuencodedFile> uuencoded;
  if (document.plain) uuencoded = findUuencoded(MIME::decodeText(bytes, *document.body));

  const std::vector<const MIMEPart*> leaves = MIME::leaves(*root);
  size_t unnamed = 0;
  for (const MIMEPart* leaf : leaves) {
    if (leaf == body || inlined.count(leaf) || isMultipart(*leaf)) continue;
    const bool attachment = leaf->disposition() == "attachment";
    std::string name = MIME::fileName(*leaf);
    // Alternatives of the body (the plain text beside the HTML) are not attachments.
    if (!attachment && name.empty() && leaf->type().starts_with("text/")) continue;
    if (name.empty() && leaf->type() == "message/rfc822") name = "转发的邮件.eml";
    if (name.empty()) name = "附件 " + std::to_string(++unnamed);
    Bytes data = MIME::decodeBody(bytes, *leaf);
    view.attachments.push_back({name, leaf->type(), data.size()});
    if (files) files->push_back(std::move(data));
  }
  for (UuencodedFile& file : uuencoded) {
    if (file.name.empty()) file.name = "附件 " + std::to_string(++unnamed);
    view.attachments.push_back({file.name, "application/octet-stream", file.data.size()});
    if (files) files->push_back(std::move(file.data));
  }
  return view;
}

}  // namespace

MessageView buildMessageView(std::string_view bytes) { return build(bytes, nullptr); }

std::optional<AttachmentContent> attachmentContent(std::string_view bytes, size_t index) {
  std::vector<Bytes> files;
  MessageView view = build(bytes, &files);
  if (index >= files.size()) return std::nullopt;
  return AttachmentContent{std::move(view.attachments[index]), std::move(files[index])};
}

nlohmann::json toJson(const MessageView& view) {
  nlohmann::json attachments = nlohmann::json::array();
  for (const auto& a : view.attachments) attachments.push_back({{"name", a.name}, {"type", a.type}, {"size", a.size}});
  return {{"from", view.from},       {"to", view.to},
          {"cc", view.cc},           {"date", view.date},
          {"subject", view.subject}, {"hasBody", view.hasBody},
          {"plain", view.plain},     {"remoteImages", view.remoteImages},
          {"attachments", attachments}};
}

}  // namespace qy::reader
