// Parsing a message down to its translatable document.
#include "core/engine/message_body.h"

#include "core/base/unicode.h"
#include "core/engine/document_factory.h"
#include "core/mime/header_words.h"

namespace qy {
namespace {

constexpr std::string_view kSecured = "签名或加密邮件";

}  // namespace

MessageBody::MessageBody(ByteView bytes, const Config& cfg) : bytes_(bytes) {
  root_ = MIME::parse(bytes);
  // The body is never taken from inside a signed or encrypted entity. One that comes before the
  // body is the message's main content (a list post: the signed message, then the list's footer
  // part), and the message is left alone as a signed root is; a cover note before a signed
  // attachment is still translated, and the signed entity's bytes stay as they are.
  part_ = MIME::findOpenTextPart(*root_);
  if (MIME::securedEntityBefore(*root_, part_)) {
    skipReason_ = kSecured;
    signedOrEncrypted_ = true;
    return;
  }
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
  // Inline OpenPGP: the text is signed (or is cipher text) as it stands.
  if (MIME::holdsInlinePGP(text)) {
    skipReason_ = kSecured;
    signedOrEncrypted_ = true;
    return;
  }
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
