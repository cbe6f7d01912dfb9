// Document construction: HTMLDoc for HTML bodies, PlainDoc for the rest.
#include "core/engine/document_factory.h"

#include "core/doc/html_doc.h"
#include "core/doc/plain_doc.h"

namespace qy {

std::unique_ptr<TranslatableDoc> makeDocument(std::string text, bool isHTML, const Config& cfg) {
  // In replace mode a link inside a paragraph becomes a segment of its own, so that the
  // replaced text keeps its links.
  if (isHTML) return std::make_unique<HTMLDoc>(std::move(text), cfg.mode == "replace");
  return std::make_unique<PlainDoc>(text);
}

}  // namespace qy
