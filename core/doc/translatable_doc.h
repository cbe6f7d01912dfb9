// TranslatableDoc: what the message pipeline needs from a document body, whatever its kind
// (HTMLDoc for text/html, PlainDoc for text/plain): the texts to translate, the rendering of the
// whole body as HTML with the translations at hand, and whether that rendering recolours it.
// A document is built, read and discarded within one engine call; rendering is const and may be
// repeated with other dictionaries or settings. Not shared between threads.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "core/config/config.h"

namespace qy {

// A segment's exact source text → its translation. May be empty or partial.
using TranslationDict = std::unordered_map<std::string, std::string>;

class TranslatableDoc {
 public:
  virtual ~TranslatableDoc() = default;

  // The text of every segment, in document order; a text that occurs in several segments is
  // listed once per segment.
  virtual std::vector<std::string> segmentTexts() const = 0;
  // The complete HTML body to show, with the translations the dictionary holds.
  virtual std::string render(const TranslationDict& dict, const Config& cfg) const = 0;
  // Whether rendering with these settings applies dark rewriting.
  virtual bool willDarken(const Config& cfg) const = 0;

 protected:
  TranslatableDoc() = default;
  TranslatableDoc(const TranslatableDoc&) = default;
  TranslatableDoc& operator=(const TranslatableDoc&) = default;
};

}  // namespace qy
