// ServerWire: the JSON that passes between us and the local translation servers, as each
// documents it. Request bodies are built here and answers are read here, tolerantly: anything
// unexpected becomes nothing (or an error text), never an exception. Pure functions; any thread.
//   Ollama:          POST /api/chat, GET /api/tags
//   OpenAI-like:     POST {url}/chat/completions, GET {url}/models
//   LibreTranslate:  POST /translate, GET /languages
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qy::platform::ServerWire {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The server's own description of an error in an answer body: {"error": "…"},
// {"error": {"message": "…"}}, or the body itself when it is short plain text. Made one line and
// at most a few hundred characters; empty when the body says nothing.
std::string errorText(std::string_view body);

// The model names of GET /api/tags ({"models": [{"name"}]}) or GET /models ({"data": [{"id"}]}).
std::optional<std::vector<std::string>> ollamaModels(std::string_view body);
std::optional<std::vector<std::string>> openaiModels(std::string_view body);

// GET /languages: [{"code", "name", "targets": […]}]. The pairs in our codes, and whether the
// server writes Chinese the old way ("zh" and "zt" rather than "zh-Hans" and "zh-Hant").
struct LibreLanguages {
  Pairs pairs;
  bool oldChineseCodes = false;
};
std::optional<LibreLanguages> libreLanguages(std::string_view body);

// A LibreTranslate code as we write it ("zh" → "zh-Hans", "zt" → "zh-Hant"), and ours as the
// server writes it: without a region ("es-MX" → "es", "zh-Hant-TW" → "zh-Hant"), Chinese in the
// server's style.
std::string fromLibreCode(std::string_view code);
std::string toLibreCode(std::string_view code, bool oldChineseCodes);

// POST /translate with the texts as the array "q"; the translations of the answer, in order
// ({"translatedText": […]}), nothing when it is not that.
std::string libreRequest(const std::vector<std::string>& texts, std::string_view source,
                         std::string_view target, std::string_view apiKey);
std::optional<std::vector<std::string>> libreAnswer(std::string_view body);

// The chat request: a system and a user message, temperature 0, no streaming, and the JSON mode
// that asks for an array of `count` strings (Ollama "format"; OpenAI "response_format" when
// `jsonSchema`).
std::string ollamaRequest(std::string_view model, std::string_view system, std::string_view user,
                          size_t count);
std::string openaiRequest(std::string_view model, std::string_view system, std::string_view user,
                          size_t count, bool jsonSchema);
// The assistant's text of a chat answer: Ollama's message.content (also when the server streamed
// newline-delimited chunks, which are joined), OpenAI's choices[0].message.content.
std::optional<std::string> ollamaContent(std::string_view body);
std::optional<std::string> openaiContent(std::string_view body);

}  // namespace qy::platform::ServerWire
