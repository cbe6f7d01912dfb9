// PlainDoc: the translatable view of a plain-text mail body. The unit of translation is the
// paragraph, a run of non-blank lines; quoting markers (">") are taken out of the text that is
// translated but kept in what is shown, and hard-wrapped paragraphs (lines of 50 to 90
// characters) are rejoined into one line. Paragraphs from a signature separator ("-- ") on are
// shown as they are, never translated. Rendering gives a complete HTML document that shows each
// paragraph with its translation below it (bilingual) or in its place (replace).
// Built once and only read afterwards; used by one engine call on one thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/config.h"
#include "core/doc/translatable_doc.h"

namespace qy {

class PlainDoc final : public TranslatableDoc {
 public:
  // Builds the paragraphs from the whole decoded body (invalid UTF-8 is repaired first).
  explicit PlainDoc(std::string_view text);

  std::vector<std::string> segmentTexts() const override;
  std::string render(const TranslationDict& dict, const Config& cfg) const override;
  // Plain text has no colours of its own to rewrite.
  bool willDarken(const Config& cfg) const override;

 private:
  struct Para {
    std::string raw;                  // the lines as received, joined with U+000A
    std::optional<std::string> text;  // what is translated; absent when nothing is worth it
    std::string quote;                // "> " per quoting level of its first line
  };

  // Ends the pending paragraph; `translate` false keeps it out of translation (a signature).
  void flush(std::vector<std::string_view>& pending, bool translate);

  std::vector<Para> paras_;
};

}  // namespace qy
