// HTMLDoc: the translatable view of an HTML mail body. Construction tokenizes the body, notes
// whether the mail styles its own dark appearance, and cuts the visible prose into segments (a
// paragraph, a cell, a list item, text broken only by inline markup or single line breaks). Each
// segment knows which tokens carry its text and after which token a translation goes, so that
// rendering writes the tokens back out with translations inserted and never re-parses.
//
// Text the reader cannot see or that is not prose (the head, scripts, styles, preformatted text,
// option lists, SVG and MathML, elements hidden by their inline style) forms no segment, nor does
// text the sender marked as not to be translated (translate="no", class "notranslate").
//
// A bilingual translation goes after the segment's last text, or, when one inline element inside
// the segment's block holds all of its text, inside the innermost such element just before its
// end tag: there it takes on the text's colour, size, face, weight and visibility.
//
// An HTMLDoc owns the body's text, and its tokens are views into it. It is built, read and
// discarded within one engine call; it never changes after construction, and rendering may be
// repeated. Not shared between threads while being built.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/config.h"
#include "core/doc/html_tokenizer.h"
#include "core/doc/translatable_doc.h"

namespace qy {

class HTMLDoc final : public TranslatableDoc {
 public:
  struct Segment {
    // Sent to translation and the key into the dictionary: tidied, with a line feed where the
    // source has a single <br>.
    std::string text;
    std::vector<size_t> textToks;  // text tokens carrying visible text; replaced in replace mode
    std::vector<size_t> brToks;    // <br> start tags inside the segment
    size_t lastTok = 0;            // the bilingual translation goes right after this token

    bool operator==(const Segment&) const = default;
  };

  // `splitLinked` (replace mode): a paragraph holding a link is cut into one segment per text
  // token, so that each link keeps its own translated text. Never fails.
  HTMLDoc(std::string html, bool splitLinked);
  HTMLDoc(const HTMLDoc&) = delete;
  HTMLDoc& operator=(const HTMLDoc&) = delete;

  std::span<const HTok> toks() const { return toks_.all(); }
  const std::vector<Segment>& segments() const { return segments_; }
  // The mail declares a colour scheme with "dark" or has a style sheet that asks for it.
  bool supportsDark() const { return supportsDark_; }

  std::vector<std::string> segmentTexts() const override;
  // The whole body written back out with the translations at hand (see html_render.cc).
  std::string render(const TranslationDict& dict, const Config& cfg) const override;
  bool willDarken(const Config& cfg) const override;

  // Marks an element as invisible when it matches (ignoring case) anywhere in a start tag that
  // holds "style": display:none, visibility:hidden, mso-hide:all, a zero max-height or opacity.
  static constexpr std::string_view hiddenPattern =
      R"(display\s*:\s*none|visibility\s*:\s*hidden|mso-hide\s*:\s*all|max-height\s*:\s*0(px)?\s*(;|"|'|$)|opacity\s*:\s*0\s*(;|"|'|$))";

  // Whether a start tag's text hides its element: it holds "style" and `hiddenPattern` matches.
  static bool hidesElement(std::string_view rawTag);

 private:
  void findDarkSupport();
  void segment(bool splitLinked);

  HTMLTokenizer::Tokens toks_;  // owns the body's text
  std::vector<Segment> segments_;
  bool supportsDark_ = false;
};

}  // namespace qy
