// Builds the translatable document for a decoded text body: an HTML document for text/html
// (links split into their own segments in replace mode), a plain-text document otherwise.
#pragma once

#include <memory>
#include <string>

#include "core/config/config.h"
#include "core/doc/translatable_doc.h"

namespace qy {

std::unique_ptr<TranslatableDoc> makeDocument(std::string text, bool isHTML, const Config& cfg);

}  // namespace qy
