// Splitting an mbox file into its messages.
//
// A message starts at a line beginning with "From " (the envelope line) at the start of the
// file or after an empty line; the envelope line is not part of the message, nor is the empty
// line that separates a message from the next envelope. Body lines that the writer quoted as
// ">From " (any number of '>') lose one '>', so a message reads as it was received.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qy::reader {

struct MboxMessage {
  size_t offset = 0;      // where its envelope line starts in the file
  std::string envelope;   // the envelope line without its line break
  std::string bytes;      // the message as received
  bool operator==(const MboxMessage&) const = default;
};

// The messages of an mbox text, in file order. Text before the first envelope line is not a
// message and is skipped.
std::vector<MboxMessage> splitMbox(std::string_view file);

// A single message as some programs save it, behind an envelope line ("From sender date"): the
// message after that line. Any other message is returned whole ("From:" is a header field, not
// an envelope line).
std::string_view withoutEnvelope(std::string_view message);

}  // namespace qy::reader
