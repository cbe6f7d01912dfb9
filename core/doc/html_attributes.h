// Reading attribute values out of a start tag's source text, as the tokenizer left it
// ("<span class='a b' translate=no>"): names compared ignoring ASCII case, values quoted with
// either quote or unquoted, entities left encoded. Forgiving: a malformed tag yields the
// attributes read before the fault. Pure functions; any thread.
#pragma once

#include <optional>
#include <string_view>

namespace qy::HTMLAttributes {

// The value of the first attribute named `name` (lower case); an attribute without "=" has the
// empty value; nothing when the tag has no such attribute.
std::optional<std::string_view> value(std::string_view tag, std::string_view name);

// Whether the element's text is marked as not to be translated: translate="no" (any case, blanks
// around it allowed), or "notranslate" among its classes.
bool marksNoTranslate(std::string_view tag);

}  // namespace qy::HTMLAttributes
