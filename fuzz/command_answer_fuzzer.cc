// Answer lines from a command provider: any bytes give either exactly the expected number of
// translations or an error in valid UTF-8, never both and never neither.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/base/unicode.h"
#include "platform/command_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t expected = data[0] % 8;
  const std::string_view line(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto answer = qy::platform::CommandProtocol::parseAnswer(line, expected, "mt", 3);
  if (answer.error) {
    if (!answer.translations.empty()) std::abort();
    if (!qy::Unicode::isValidUtf8(*answer.error)) std::abort();
  } else {
    if (answer.translations.size() != expected) std::abort();
    for (const auto& t : answer.translations)
      if (!qy::Unicode::isValidUtf8(t)) std::abort();
  }
  // A request built from the same bytes is one line.
  const std::string request =
      qy::platform::CommandProtocol::request("en", "es", {std::string(line)}, 1);
  if (request.find('\n') != request.size() - 1) std::abort();
  return 0;
}
