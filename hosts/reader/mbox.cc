// mbox splitting at envelope lines.
#include "hosts/reader/mbox.h"

namespace qy::reader {
namespace {

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// The line at `pos` without its LF (a CR before it stays: the message keeps its line ends).
std::string_view lineAt(std::string_view file, size_t pos, size_t& next) {
  const size_t lf = file.find('\n', pos);
  next = lf == std::string_view::npos ? file.size() : lf + 1;
  return file.substr(pos, (lf == std::string_view::npos ? file.size() : lf) - pos);
}

bool isBlankLine(std::string_view line) { return line.empty() || line == "\r"; }

// ">From ", ">>From ", …: a body line the writer quoted.
bool isQuotedFrom(std::string_view line) {
  const size_t gt = line.find_first_not_of('>');
  return gt != 0 && gt != std::string_view::npos && startsWith(line.substr(gt), "From ");
}

void finish(std::vector<MboxMessage>& out, MboxMessage& current, bool& open) {
  if (!open) return;
  // The empty line before the next envelope separates messages; it is not the message's.
  std::string& b = current.bytes;
  if (b.size() >= 2 && b.compare(b.size() - 2, 2, "\n\n") == 0) b.pop_back();
  else if (b.size() >= 4 && b.compare(b.size() - 4, 4, "\r\n\r\n") == 0) b.resize(b.size() - 2);
  out.push_back(std::move(current));
  current = {};
  open = false;
}

}  // namespace

std::vector<MboxMessage> splitMbox(std::string_view file) {
  std::vector<MboxMessage> out;
  MboxMessage current;
  bool open = false;
  bool previousBlank = true;  // the start of the file counts as after an empty line
  size_t pos = 0;
  while (pos < file.size()) {
    size_t next = 0;
    const std::string_view line = lineAt(file, pos, next);
    if (previousBlank && startsWith(line, "From ")) {
      finish(out, current, open);
      current.offset = pos;
      std::string_view envelope = line;
      if (!envelope.empty() && envelope.back() == '\r') envelope.remove_suffix(1);
      current.envelope = std::string(envelope);
      open = true;
      previousBlank = false;
      pos = next;
      continue;
    }
    if (open) {
      std::string_view kept = file.substr(pos, next - pos);
      if (isQuotedFrom(line)) kept.remove_prefix(1);
      current.bytes.append(kept);
    }
    previousBlank = isBlankLine(line);
    pos = next;
  }
  finish(out, current, open);
  return out;
}

std::string_view withoutEnvelope(std::string_view message) {
  if (!startsWith(message, "From ")) return message;
  const size_t lf = message.find('\n');
  return lf == std::string_view::npos ? std::string_view() : message.substr(lf + 1);
}

}  // namespace qy::reader
