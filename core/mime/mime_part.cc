// MIMEPart construction: the derived type, parameters, encoding and disposition.
#include "core/mime/mime_part.h"

#include <utility>

#include "core/mime/mime_parser.h"
#include "core/base/unicode.h"

namespace qy {

MIMEPart::MIMEPart(ByteRange headerRange, ByteRange bodyRange, std::vector<MIMEField> fields)
    : headerRange_(headerRange), bodyRange_(bodyRange), fields_(std::move(fields)) {
  const MIMEField* contentType = firstField("content-type");
  auto [head, params] = MIME::parseParams(contentType ? contentType->value : "text/plain");
  type_ = head.empty() ? "text/plain" : std::move(head);
  params_ = std::move(params);

  const MIMEField* transfer = firstField("content-transfer-encoding");
  encoding_ = transfer ? Unicode::lowercased(Unicode::trimBlanks(transfer->value)) : "7bit";

  if (const MIMEField* disposition = firstField("content-disposition")) {
    disposition_ = MIME::parseParams(disposition->value).first;
  }
}

const MIMEField* MIMEPart::firstField(std::string_view name) const {
  for (const MIMEField& f : fields_) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

std::optional<std::string> MIMEPart::field(std::string_view name) const {
  const MIMEField* f = firstField(name);
  if (f == nullptr) return std::nullopt;
  return f->value;
}

}  // namespace qy
