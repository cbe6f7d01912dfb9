// Feeds arbitrary bytes, split into a note, a banner and a message, to the status header.
// Invariants: every line of the field is at most 76 columns, the field ends with the message's
// line break, and the message from its first blank line on is kept byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "extension/commands/status_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // "note\0banner\0message"
  const size_t first = input.find('\0');
  if (first == std::string_view::npos) return 0;
  const size_t second = input.find('\0', first + 1);
  if (second == std::string_view::npos) return 0;
  qy::Engine::Result result;
  result.note = std::string(input.substr(0, first));
  result.banner = std::string(input.substr(first + 1, second - first - 1));
  const std::string_view message = input.substr(second + 1);

  const std::string field = qy::statusHeaderField(result, "\n");
  size_t at = 0;
  while (at < field.size()) {
    const size_t end = field.find('\n', at);
    if (end == std::string::npos || end - at > 76) std::abort();
    at = end + 1;
  }
  const std::string out = qy::withStatusHeader(message, result);
  // The header ends at its first blank line, a line of "\n" or "\r\n" alone (whatever the other
  // lines end with): from there on the message is kept.
  auto blankAt = [](std::string_view text) { return text.starts_with("\n") || text.starts_with("\r\n"); };
  size_t body = blankAt(message) ? 0 : std::string_view::npos;
  for (size_t i = message.find('\n'); body == std::string_view::npos && i != std::string_view::npos;
       i = message.find('\n', i + 1))
    if (blankAt(message.substr(i + 1))) body = i + 1;
  if (body != std::string_view::npos) {
    const std::string_view tail = message.substr(body);
    if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0) std::abort();
  }
  return 0;
}
