// Uuencoded blocks and the download's Content-Disposition.
#include "hosts/reader/attachment_file.h"

#include <cctype>

#include "core/base/unicode.h"

namespace qy::reader {
namespace {

// The line at `at` without its terminator; `next` is set past it.
std::string_view lineAt(std::string_view text, size_t at, size_t& next) {
  size_t end = text.find('\n', at);
  next = end == std::string_view::npos ? text.size() : end + 1;
  if (end == std::string_view::npos) end = text.size();
  std::string_view line = text.substr(at, end - at);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// "begin" then a blank, an octal mode of three or four digits, a blank and the name.
bool beginLine(std::string_view line, std::string& name) {
  if (!line.starts_with("begin ")) return false;
  size_t i = 6;
  const size_t digits = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '7') ++i;
  if (i - digits < 3 || i - digits > 4 || i >= line.size() || line[i] != ' ') return false;
  name = std::string(Unicode::trimBlanks(line.substr(i + 1)));
  return true;
}

// One data line: its length character, then groups of four characters for three bytes. Both
// ' ' and '`' stand for zero. False for a line that is not data.
bool decodeLine(std::string_view line, Bytes& out) {
  if (line.empty()) return false;
  auto value = [](char c) { return static_cast<unsigned>(c - ' ') & 63u; };
  for (char c : line)
    if (c < ' ' || c > '`') return false;
  const size_t count = value(line[0]);
  // Longer than its count says (one padding character allowed): not a data line. Shorter is
  // fine: some programs drop the trailing blanks, which stand for zero bits.
  if (line.size() - 1 > (count + 2) / 3 * 4 + 1) return false;
  size_t made = 0;
  for (size_t i = 1; made < count && i < line.size(); i += 4) {
    const unsigned a = value(line[i]);
    const unsigned b = i + 1 < line.size() ? value(line[i + 1]) : 0;
    const unsigned c = i + 2 < line.size() ? value(line[i + 2]) : 0;
    const unsigned d = i + 3 < line.size() ? value(line[i + 3]) : 0;
    const uint8_t bytes[3] = {static_cast<uint8_t>(a << 2 | b >> 4),
                              static_cast<uint8_t>((b & 15) << 4 | c >> 2),
                              static_cast<uint8_t>((c & 3) << 6 | d)};
    for (uint8_t byte : bytes)
      if (made < count) {
        out.push_back(byte);
        ++made;
      }
  }
  return true;
}

bool fallbackCharacter(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '/' && c != ';' && c != '%';
}

bool attrChar(unsigned char c) {
  // RFC 5987 attr-char: ALPHA / DIGIT / "!" / "#" / "$" / "&" / "+" / "-" / "." / "^" / "_" /
  // "`" / "|" / "~"
  return std::isalnum(c) || std::string_view("!#$&+-.^_`|~").find(static_cast<char>(c)) !=
                                std::string_view::npos;
}

}  // namespace

std::vector<UuencodedFile> findUuencoded(std::string_view text) {
  std::vector<UuencodedFile> files;
  size_t at = 0;
  while (at < text.size()) {
    size_t next = 0;
    std::string name;
    if (!beginLine(lineAt(text, at, next), name)) {
      at = next;
      continue;
    }
    UuencodedFile file{std::move(name), {}};
    bool ended = false;
    size_t pos = next;
    while (pos < text.size()) {
      const std::string_view line = lineAt(text, pos, next);
      pos = next;
      if (line == "end") {
        ended = true;
        break;
      }
      if (line.empty() || file.data.size() > kMaxUudecodedBytes) continue;
      decodeLine(line, file.data);
    }
    if (!ended) break;  // an unfinished block, and nothing can begin inside it
    if (file.data.size() > kMaxUudecodedBytes) file.data.resize(kMaxUudecodedBytes);
    files.push_back(std::move(file));
    at = pos;
  }
  return files;
}

std::string attachmentDisposition(std::string_view name) {
  // A name is a name, never a path: only its last component, without control characters.
  std::string clean;
  for (unsigned char c : Unicode::repairUtf8(name)) {
    if (c == '/' || c == '\\') {
      clean.clear();
      continue;
    }
    clean.push_back(c < 0x20 || c == 0x7F ? '_' : static_cast<char>(c));
  }
  if (clean.empty() || clean == "." || clean == "..") clean = "附件";
  std::string fallback;
  std::string encoded;
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : clean) {
    fallback.push_back(fallbackCharacter(c) ? static_cast<char>(c) : '_');
    if (attrChar(c)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + encoded;
}

}  // namespace qy::reader
