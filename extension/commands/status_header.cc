// The X-Quillory-Status and X-Quillory-Subject header fields: RFC 2047 encoded words, folding, and its place in a message.
#include "extension/commands/status_header.h"

#include "core/engine/engine_report.h"
#include "platform/base64.h"

namespace qy {
namespace {

// RFC 5322's recommended line length; RFC 2047 allows at most 75 characters per encoded word.
constexpr size_t kLineWidth = 76;
constexpr size_t kMaxWordLength = 75;
constexpr std::string_view kWordStart = "=?UTF-8?B?";
constexpr std::string_view kWordEnd = "?=";

size_t wordLength(size_t textBytes) {
  return kWordStart.size() + 4 * ((textBytes + 2) / 3) + kWordEnd.size();
}

// The length of the UTF-8 sequence that starts at `i`; a stray byte counts as one, so a broken
// text still ends up in the words whole (the reader decides what to show for it).
size_t sequenceLength(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (i + length > text.size()) return 1;
  for (size_t k = 1; k < length; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
  return length;
}

// Text that can stand in the field as it is: printable ASCII that no reader could take for an
// encoded word.
bool isPlainToken(std::string_view text) {
  if (text.empty() || text.find("=?") != std::string_view::npos) return false;
  for (char c : text)
    if (c < 0x21 || c > 0x7E) return false;
  return true;
}

class FieldWriter {
 public:
  explicit FieldWriter(std::string_view newline, std::string_view name = kStatusFieldName)
      : newline_(newline) {
    out_ = std::string(name) + ":";
    column_ = out_.size();
  }

  // A word, after a space or, when it would pass the line width, after a fold.
  void add(std::string_view word) {
    if (column_ + 1 + word.size() > kLineWidth) {
      out_ += newline_;
      column_ = 0;
    }
    out_ += ' ';
    out_ += word;
    column_ += 1 + word.size();
  }

  // Plain words as they are; anything else as encoded words that each fill what is left of the
  // line, holding whole characters.
  void addText(std::string_view text) {
    // A plain word too long for a line of its own is encoded, so that it can be split.
    if (isPlainToken(text) && text.size() < kLineWidth) return add(text);
    size_t begin = 0;
    while (begin < text.size()) {
      size_t room = kLineWidth - column_ - 1;
      if (room < wordLength(4) || room > kMaxWordLength) room = kMaxWordLength;
      size_t end = begin;
      while (end < text.size()) {
        const size_t next = end + sequenceLength(text, end);
        if (end > begin && wordLength(next - begin) > room) break;
        end = next;
      }
      add(std::string(kWordStart) + platform::base64Encode(text.substr(begin, end - begin)) +
          std::string(kWordEnd));
      begin = end;
    }
  }

  std::string finish() { return out_ + std::string(newline_); }

 private:
  std::string_view newline_;
  std::string out_;
  size_t column_ = 0;
};

// A field named `name`; blanks before the colon are the obsolete syntax that readers still
// accept.
bool isField(std::string_view line, std::string_view name) {
  if (line.size() <= name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = line[i], want = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (want >= 'A' && want <= 'Z') want = static_cast<char>(want - 'A' + 'a');
    if (c != want) return false;
  }
  const size_t colon = line.find_first_not_of(" \t", name.size());
  return colon != std::string_view::npos && line[colon] == ':';
}

}  // namespace

StatusValue statusValue(const Engine::Result& result) {
  const std::string banner = result.banner.value_or("");
  if (result.note == "translated") {
    const bool truncated = banner.ends_with(EngineReport::kTruncatedSuffix);
    return {truncated ? "partial" : "translated", banner};
  }
  if (result.note == "partial") return {"pending", banner};
  if (result.note == "error") return {"error", banner};
  // Everything else translated nothing; the text says why.
  if (result.note == "offer") return {"skipped", banner + "（设置为手动翻译）"};
  if (result.note == "off") return {"skipped", "翻译已关闭"};
  if (result.note == "dark") return {"skipped", "未翻译，只调整了深色显示"};
  return {"skipped", result.note};
}

std::string statusHeaderField(const Engine::Result& result, std::string_view newline) {
  FieldWriter writer(newline);
  const StatusValue value = statusValue(result);
  if (value.text.empty()) {
    writer.addText(value.keyword);
  } else {
    writer.addText(value.keyword + ";");
    writer.addText(value.text);
  }
  return writer.finish();
}

std::string subjectHeaderField(std::string_view subject, std::string_view newline) {
  FieldWriter writer(newline, kSubjectFieldName);
  // One ASCII word stays as it is; any other text goes into encoded words whole.
  writer.addText(subject);
  return writer.finish();
}

std::string withStatusHeader(std::string_view message, const Engine::Result& result) {
  const size_t firstBreak = message.find('\n');
  const std::string_view newline =
      firstBreak != std::string_view::npos && firstBreak > 0 && message[firstBreak - 1] == '\r'
          ? "\r\n"
          : "\n";
  std::string out = statusHeaderField(result, newline);
  if (result.subject) out += subjectHeaderField(*result.subject, newline);
  out.reserve(out.size() + message.size());
  // Copy the header line by line, leaving out status fields and their continuation lines.
  size_t at = 0;
  bool dropping = false;
  while (at < message.size()) {
    size_t end = message.find('\n', at);
    end = end == std::string_view::npos ? message.size() : end + 1;
    const std::string_view line = message.substr(at, end - at);
    if (line == "\n" || line == "\r\n") break;  // the blank line that ends the header
    const bool continuation = line[0] == ' ' || line[0] == '\t';
    if (!continuation) dropping = isField(line, kStatusFieldName) || isField(line, kSubjectFieldName);
    if (!dropping) out += line;
    at = end;
  }
  out += message.substr(at);
  return out;
}

}  // namespace qy
