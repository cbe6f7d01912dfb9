// ChatAnswer: a chat model as a translator. A batch of texts goes to the model as a JSON array in
// the user message, under a system message saying what to do; the model is told to answer with a
// JSON array of as many translations, in the same order. Models do not always do as told, so the
// answer is read tolerantly: a ```json fence around it, a <think>…</think> block before it (from
// reasoning models), prose around the JSON, or an object holding the array are all accepted; an
// answer with the wrong number of strings is not. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qy::platform::ChatAnswer {

// The system message for translating `count` texts from `source` into `target` (language codes,
// named to the model by their English names: "Simplified Chinese").
std::string systemMessage(std::string_view source, std::string_view target, size_t count);

// The user message: the texts as a JSON array (invalid UTF-8 replaced by U+FFFD).
std::string userMessage(const std::vector<std::string>& texts);

// The translations in the model's answer, or nothing when it holds no array of exactly
// `expected` strings.
std::optional<std::vector<std::string>> parse(std::string_view content, size_t expected);

}  // namespace qy::platform::ChatAnswer
