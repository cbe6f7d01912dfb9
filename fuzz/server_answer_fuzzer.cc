// Answers of local translation servers: a chat model's content, the JSON bodies of each wire
// format, error bodies and server URLs. Any bytes give a clear result: a chat answer is either
// exactly the expected number of translations in valid UTF-8 or nothing; an error text stays one
// bounded line; a URL that parses has a host and a port in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "platform/chat_answer.h"
#include "platform/local_http.h"
#include "platform/server_wire.h"

using namespace qy::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t expected = 1 + data[0] % 8;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  if (const auto translations = ChatAnswer::parse(text, expected)) {
    if (translations->size() != expected) std::abort();
    for (const auto& t : *translations)
      if (!qy::Unicode::isValidUtf8(t)) std::abort();
  }
  // The content of a chat answer goes through the same reading.
  for (const auto& content : {ServerWire::ollamaContent(text), ServerWire::openaiContent(text)})
    if (content)
      if (const auto inner = ChatAnswer::parse(*content, expected); inner && inner->size() != expected)
        std::abort();
  (void)ServerWire::libreAnswer(text);
  (void)ServerWire::ollamaModels(text);
  (void)ServerWire::openaiModels(text);
  if (const auto languages = ServerWire::libreLanguages(text))
    for (const auto& [source, target] : languages->pairs)
      if (source == target) std::abort();
  const std::string error = ServerWire::errorText(text);
  if (error.size() > 310 || error.find('\n') != std::string::npos) std::abort();
  if (const auto url = LocalHttp::parseUrl(text)) {
    if (url->host.empty() || url->port < 1 || url->port > 65535) std::abort();
    if (LocalHttp::authority(*url).empty()) std::abort();
  }
  return 0;
}
