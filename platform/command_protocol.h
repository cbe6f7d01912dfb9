// CommandProtocol: the JSON-lines protocol spoken with command providers. We send one line,
//   {"from": "en", "to": "es", "texts": ["…", "…"]}
// and read one line back: {"translations": ["…", "…"]} (same count and order) or
// {"error": "description"}. Each request also carries "id", a number that grows with every
// batch; a program that copies it into its answer is protected even against answering one
// request twice, since an answer with another id is refused. JSON escapes every control character, so a text can never break a
// line; invalid UTF-8 in a text is sent with U+FFFD in its place. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qy::platform::CommandProtocol {

// The request line, ending in "\n".
std::string request(std::string_view from, std::string_view to,
                    const std::vector<std::string>& texts, uint64_t id);

struct Answer {
  std::vector<std::string> translations;
  // Set when the answer is an error, is not understood, or holds the wrong number of
  // translations; a readable description naming `program`.
  std::optional<std::string> error;
  // True when the program reported an error itself (the conversation is still in step).
  bool reportedByProgram = false;
};

// Reads one answer line (without its "\n") to a request of `expected` texts.
// An answer naming another id is refused.
Answer parseAnswer(std::string_view line, size_t expected, std::string_view program, uint64_t id);

}  // namespace qy::platform::CommandProtocol
