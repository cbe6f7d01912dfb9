// Parsing a message down to its translatable document.
#include "core/engine/message_body.h"

#include "core/base/unicode.h"
#include "core/engine/document_factory.h"
#include "core/mime/header_words.h"

namespace qy {

MessageBody::MessageBody(ByteView bytes, const Config& cfg) : bytes_(bytes) {
  root_ = MIME::parse(bytes);
  const std::string& type = root_->type();
  if (type == "multipart/signed" || type == "multipart/encrypted" ||
      type.find("pkcs7") != std::string::npos) {
    skipReason_ = "签名或加密邮件";
    signedOrEncrypted_ = true;
    return;
  }
  part_ = MIME::findTextPart(*root_);
  if (!part_) {
    skipReason_ = "没有文字正文";
    return;
  }
  const bool isHTML = part_->type() == "text/html";
  Bytes body = MIME::decodeBody(bytes, *part_);
  if (body.empty()) {
    skipReason_ = "正文为空";
    return;
  }
  std::optional<std::string_view> charset;
  if (auto it = part_->params().find("charset"); it != part_->params().end()) charset = it->second;
  std::string text = MIME::decodeString(body, charset, isHTML);
  doc_ = makeDocument(std::move(text), isHTML, cfg);
  // Unencoded bytes in the Subject are read in the charset of the text, as mail clients do.
  const std::string_view message(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  subject_ = std::string(Unicode::trimBlanks(
      MIME::decodeHeaderWords(MIME::fieldAsWritten(message, *root_, "subject"), charset)));
}

Bytes MessageBody::rebuild(const std::string& html) const {
  // The root is told from a nested part by identity.
  return MIME::replacing(bytes_, *part_, part_ == root_.get(), html);
}

}  // namespace qy
