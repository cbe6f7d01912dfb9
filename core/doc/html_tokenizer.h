// HTMLTokenizer: a small, forgiving tokenizer that cuts an HTML mail body into a flat list of
// tokens without building a tree. It never loses or changes a byte: the `raw` texts of the tokens,
// concatenated in order, always give back the input. It never fails: malformed markup becomes text
// or runs to the end of the input.
//
// Works on bytes: every test is on an ASCII byte, so tokens of valid UTF-8 are cut between whole
// characters, and any other bytes pass through untouched. Pure functions; callable from any thread.
// Time is linear in the input on every input, hostile ones included.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qy {

// One token of an HTML text.
struct HTok {
  enum class Kind : uint8_t {
    text = 0,   // character data between tags, entities still encoded
    open = 1,   // a start tag with its attributes, up to and including its ">"
    close = 2,  // an end tag
    other = 3,  // comment, declaration, processing instruction, or a raw-text element's content
  };

  Kind kind = Kind::text;
  std::string name;  // the tag name in lower case for open and close tokens; empty otherwise
  std::string raw;   // the exact source text

  bool operator==(const HTok&) const = default;
};

namespace HTMLTokenizer {

// Elements whose content is not markup: it becomes one `other` token up to the element's closer.
inline constexpr std::array<std::string_view, 5> rawTextElements = {"script", "style", "textarea",
                                                                    "title", "xmp"};

bool isRawTextElement(std::string_view lowerName);

// The tokens of the whole text, in source order.
std::vector<HTok> tokenize(std::string_view html);

}  // namespace HTMLTokenizer
}  // namespace qy
