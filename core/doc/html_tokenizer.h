// HTMLTokenizer: a small, forgiving tokenizer that cuts an HTML mail body into a flat list of
// tokens without building a tree. It never loses or changes a byte: the `raw` texts of the tokens,
// concatenated in order, always give back the input. It never fails: malformed markup becomes text
// or runs to the end of the input.
//
// Works on bytes: every test is on an ASCII byte, so tokens of valid UTF-8 are cut between whole
// characters, and any other bytes pass through untouched. Tokens are views: `Tokens` owns the text
// and everything its tokens point into, so a token is valid as long as the `Tokens` it came from.
// Pure functions; callable from any thread. Time is linear in the input on every input, hostile
// ones included.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qy {

// One token of an HTML text: views into the text held by the `HTMLTokenizer::Tokens` it belongs to.
struct HTok {
  enum class Kind : uint8_t {
    text = 0,   // character data between tags, entities still encoded
    open = 1,   // a start tag with its attributes, up to and including its ">"
    close = 2,  // an end tag
    other = 3,  // comment, declaration, processing instruction, or a raw-text element's content
  };

  Kind kind = Kind::text;
  std::string_view name;  // the tag name in lower case for open and close tokens; empty otherwise
  std::string_view raw;   // the exact source text

  bool operator==(const HTok&) const = default;
};

namespace HTMLTokenizer {

// Elements whose content is not markup: it becomes one `other` token up to the element's closer.
inline constexpr std::array<std::string_view, 5> rawTextElements = {"script", "style", "textarea",
                                                                    "title", "xmp"};

bool isRawTextElement(std::string_view lowerName);

// The tokens of one text, in source order, with the text they view. Moving keeps every token
// valid (the text and the lower-cased names live on the heap); copying is not offered.
class Tokens {
 public:
  Tokens() = default;
  Tokens(Tokens&&) noexcept = default;
  Tokens& operator=(Tokens&&) noexcept = default;

  std::string_view text() const { return text_ ? std::string_view(*text_) : std::string_view(); }
  std::span<const HTok> all() const { return toks_; }
  size_t size() const { return toks_.size(); }
  bool empty() const { return toks_.empty(); }
  const HTok& operator[](size_t i) const { return toks_[i]; }
  std::vector<HTok>::const_iterator begin() const { return toks_.begin(); }
  std::vector<HTok>::const_iterator end() const { return toks_.end(); }

 private:
  friend Tokens tokenize(std::string html);

  std::unique_ptr<const std::string> text_;
  std::unique_ptr<char[]> lowered_;  // tag names the source writes with capitals, lower-cased
  std::vector<HTok> toks_;
};

// The tokens of the whole text, in source order.
Tokens tokenize(std::string html);

}  // namespace HTMLTokenizer
}  // namespace qy
