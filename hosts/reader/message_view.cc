// Building the reader's view of one message with the project's MIME code.
#include "hosts/reader/message_view.h"

#include <map>

#include "core/base/unicode.h"
#include "core/mime/mime.h"
#include "hosts/reader/attachment_file.h"
#include "hosts/reader/base64_text.h"
#include "hosts/reader/frame_html.h"
#include "hosts/reader/header_text.h"

namespace qy::reader {
namespace {

ByteView asBytes(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

std::string contentId(const MIMEPart& part) {
  std::string id(Unicode::trimBlanks(part.field("content-id").value_or("")));
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  return id;
}

// A file name given as RFC 2231 "utf-8''%E4%B8%AD.pdf" (the parser drops the '*' of the key).
std::string decodeExtendedValue(const std::string& value) {
  const size_t first = value.find('\'');
  if (first == std::string::npos) return value;
  const size_t second = value.find('\'', first + 1);
  if (second == std::string::npos) return value;
  std::string bytes;
  for (size_t i = second + 1; i < value.size(); ++i) {
    auto hex = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    if (value[i] == '%' && i + 2 < value.size() && hex(value[i + 1]) >= 0 && hex(value[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2])));
      i += 2;
    } else {
      bytes.push_back(value[i]);
    }
  }
  const std::string charset = value.substr(0, first);
  if (auto enc = MIME::stringEncoding(charset.empty() ? std::string("utf-8") : charset))
    if (auto text = MIME::decodeStrict(asBytes(bytes), *enc)) return *text;
  return Unicode::repairUtf8(bytes);
}

std::string fileName(const MIMEPart& part) {
  std::string name;
  if (auto disposition = part.field("content-disposition")) {
    const auto params = MIME::parseParams(*disposition).second;
    if (auto it = params.find("filename"); it != params.end()) name = it->second;
  }
  if (name.empty())
    if (auto it = part.params().find("name"); it != part.params().end()) name = it->second;
  if (name.find("''") != std::string::npos) return decodeExtendedValue(name);
  return decodeHeaderWords(name);
}

void collectLeaves(const MIMEPart& part, std::vector<const MIMEPart*>& out) {
  std::vector<const MIMEPart*> stack{&part};
  while (!stack.empty()) {
    const MIMEPart* p = stack.back();
    stack.pop_back();
    if (p->children().empty()) {
      out.push_back(p);
      continue;
    }
    for (auto it = p->children().rbegin(); it != p->children().rend(); ++it) stack.push_back(it->get());
  }
}

bool isMultipart(const MIMEPart& part) { return part.type().starts_with("multipart/"); }

// The view of `text`; with `files`, also each listed attachment's bytes, in the list's order.
MessageView build(std::string_view text, std::vector<Bytes>* files) {
  const ByteView bytes = asBytes(text);
  const auto root = MIME::parse(bytes);
  MessageView view;
  const MIMEPart* body = MIME::findTextPart(*root);
  // Header bytes written unencoded in a legacy charset are read in the charset of the message's
  // text, as mail clients do.
  std::optional<std::string_view> textCharset;
  for (const MIMEPart* part : {static_cast<const MIMEPart*>(root.get()), body}) {
    if (!part || textCharset) continue;
    if (auto it = part->params().find("charset"); it != part->params().end()) textCharset = it->second;
  }
  auto header = [&](std::string_view name) { return decodeHeaderWords(fieldAsWritten(text, *root, name), textCharset); };
  view.from = header("from");
  view.to = header("to");
  view.cc = header("cc");
  view.date = header("date");
  view.subject = header("subject");

  std::vector<const MIMEPart*> leaves;
  collectLeaves(*root, leaves);

  // Inline images, by Content-ID, for the HTML body's cid: references.
  std::map<std::string, std::string> images;
  std::map<std::string, std::string> locations;  // by Content-Location
  std::map<const MIMEPart*, bool> usedInline;
  std::string html;
  std::vector<UuencodedFile> uuencoded;
  if (body) {
    const auto charset = body->params().find("charset");
    const bool isHTML = body->type() == "text/html";
    const Bytes decoded = MIME::decodeBody(bytes, *body);
    const std::string bodyText = MIME::decodeString(
        decoded, charset == body->params().end() ? std::nullopt : std::optional<std::string_view>(charset->second),
        isHTML);
    view.hasBody = true;
    view.plain = !isHTML;
    if (isHTML) {
      const std::string lower = Unicode::lowercased(bodyText);
      for (const MIMEPart* leaf : leaves) {
        if (leaf == body || !leaf->type().starts_with("image/")) continue;
        const std::string id = contentId(*leaf);
        const std::string location(Unicode::trimBlanks(leaf->field("content-location").value_or("")));
        // Named by its location, the body quotes it as an attribute value.
        const bool located = !location.empty() && (bodyText.find("\"" + location + "\"") != std::string::npos ||
                                                   bodyText.find("'" + location + "'") != std::string::npos ||
                                                   bodyText.find("=" + location) != std::string::npos);
        const bool cited = !id.empty() && lower.find("cid:") != std::string::npos;
        if (!cited && !located) continue;
        const Bytes data = MIME::decodeBody(bytes, *leaf);
        if (data.size() > kMaxInlineImageBytes) continue;
        const std::string url = "data:" + leaf->type() + ";base64," + base64Encode(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
        if (cited) images[id] = url;
        if (located) locations[location] = url;
        // Only images the body refers to are inline; the others are listed as attachments.
        if (located || (cited && lower.find("cid:" + Unicode::lowercased(id)) != std::string::npos))
          usedInline[leaf] = true;
      }
      html = bodyText;
    } else {
      html = plainTextDocument(bodyText);
      // Old mail programs put files into the text itself.
      uuencoded = findUuencoded(bodyText);
    }
  }
  FrameHtml frame = prepareFrameHtml(html, images, locations);
  view.frameHtml = std::move(frame.html);
  view.remoteImages = frame.remoteImages;

  size_t unnamed = 0;
  for (const MIMEPart* leaf : leaves) {
    if (leaf == body || usedInline.count(leaf) || isMultipart(*leaf)) continue;
    const bool attachment = leaf->disposition() == "attachment";
    std::string name = fileName(*leaf);
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
