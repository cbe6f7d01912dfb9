// The message's text body as a translatable document: parsing, choosing the text part, decoding
// it, and building the HTML or plain-text document, plus the rebuild of the message around a new
// HTML body. Owns the parse tree; borrows the message bytes, which must outlive it.
#pragma once

#include <memory>
#include <string>

#include "core/config/config.h"
#include "core/doc/translatable_doc.h"
#include "core/mime/mime.h"

namespace qy {

class MessageBody {
 public:
  // Reads the body of `bytes`; when the message cannot be translated, skipReason() says why.
  MessageBody(ByteView bytes, const Config& cfg);

  // Empty when there is a document; otherwise the skip reason ("签名或加密邮件", "没有文字正文",
  // "正文为空").
  const std::string& skipReason() const { return skipReason_; }
  const TranslatableDoc& doc() const { return *doc_; }
  // Whether the message is signed or encrypted as a whole (then it has no document).
  bool signedOrEncrypted() const { return signedOrEncrypted_; }
  // The Subject as a reader sees it (encoded words decoded, blanks trimmed); "" when there is
  // none or when the message has no document.
  const std::string& subject() const { return subject_; }

  // The complete message with the text part replaced by `html`.
  Bytes rebuild(const std::string& html) const;

 private:
  ByteView bytes_;
  std::unique_ptr<MIMEPart> root_;
  const MIMEPart* part_ = nullptr;
  std::unique_ptr<TranslatableDoc> doc_;
  std::string skipReason_;
  std::string subject_;
  bool signedOrEncrypted_ = false;
};

}  // namespace qy
