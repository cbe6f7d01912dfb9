// Entities: decoding of HTML character references in text taken from a mail body. Knows the
// numeric forms and a fixed table of 68 named references (case-sensitive); everything it does not
// recognise is left as written. Pure functions over constant data built on first use; callable
// from any thread.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace qy::Entities {

// The named references: name (without "&" and ";") → replacement text.
const std::unordered_map<std::string_view, std::string_view>& named();

// The text with character references replaced, in a single pass: a replacement is never decoded
// again ("&amp;lt;" becomes "&lt;").
std::string decode(std::string_view text);

}  // namespace qy::Entities
