// Header blocks, multipart splitting and parameter splitting.
#include "core/mime/mime_parser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/base/unicode.h"

namespace qy::MIME {
namespace {

constexpr uint8_t kLF = 0x0A;
constexpr uint8_t kCR = 0x0D;

std::string_view asChars(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Position of the first LF in [from, end), or end.
size_t findLineFeed(ByteView bytes, size_t from, size_t end) {
  if (from >= end) return end;
  const void* hit = std::memchr(bytes.data() + from, kLF, end - from);
  return hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - bytes.data()) : end;
}

struct HeaderBlock {
  ByteRange header;
  ByteRange body;
  std::vector<MIMEField> fields;
};

// Reads header lines from range.begin until a blank line, a line that is not a field, or the
// end of the range.
HeaderBlock readHeader(ByteView bytes, ByteRange range) {
  const size_t start = range.begin;
  const size_t end = range.end;
  HeaderBlock block;
  if (start >= end) {
    block.header = {end, end};
    block.body = {end, end};
    return block;
  }
  size_t q = start;
  for (;;) {
    const size_t p = findLineFeed(bytes, q, end);
    const size_t n = std::min(p + 1, end);
    // Only LF ends a line; one CR right before it is part of the terminator, any other CR is
    // content.
    size_t contentEnd = p;
    if (p > q && bytes[p - 1] == kCR) --contentEnd;
    if (contentEnd == q) {
      block.header = {start, q};
      block.body = {n, end};
      return block;
    }
    const std::string text = Unicode::repairUtf8(asChars(bytes.subspan(q, contentEnd - q)));
    const uint8_t first = bytes[q];
    if ((first == ' ' || first == '\t') && !block.fields.empty()) {
      // A folded line continues the previous field, even when it holds only blanks.
      MIMEField& last = block.fields.back();
      last.value += ' ';
      last.value += Unicode::trimBlanks(text);
      last.raw.end = n;
    } else {
      const size_t colon = text.find(':');
      // A space before the colon marks a non-field line (an mbox "From " line, body text);
      // a tab there does not.
      if (colon == std::string::npos || colon == 0 ||
          text.find(' ') < colon) {
        block.header = {start, q};
        block.body = {q, end};
        return block;
      }
      block.fields.push_back(MIMEField{
          Unicode::lowercased(std::string_view(text).substr(0, colon)),
          std::string(Unicode::trimBlanks(std::string_view(text).substr(colon + 1))),
          ByteRange{q, n}});
    }
    if (p + 1 >= end) {
      block.header = {start, end};
      block.body = {end, end};
      return block;
    }
    q = n;
  }
}

// Splits a multipart body into children at its delimiter lines.
std::unique_ptr<MIMEPart> parseWithin(ByteView bytes, ByteRange range, int depth,
                                      size_t& partsLeft);

void splitMultipart(ByteView bytes, MIMEPart& part, std::string_view boundary, int depth,
                    size_t& partsLeft) {
  std::string delimiter = "--";
  delimiter += boundary;
  const auto* d = reinterpret_cast<const uint8_t*>(delimiter.data());
  const size_t m = delimiter.size();
  const size_t end = part.bodyRange().end;
  const uint8_t* b = bytes.data();

  bool seen = false;
  size_t c = part.bodyRange().begin;
  size_t s = c;
  while (s < end) {
    const size_t i = findLineFeed(bytes, s, end);
    // One byte decides for almost every line before the whole delimiter is compared.
    if (b[s] == '-' && i - s >= m && std::memcmp(b + s, d, m) == 0) {
      size_t k = s + m;
      bool closing = false;
      if (k + 1 < i && b[k] == '-' && b[k + 1] == '-') {
        closing = true;
        k += 2;
      }
      bool delimiterLine = true;
      for (size_t j = k; j < i; ++j) {
        if (b[j] != ' ' && b[j] != '\t' && b[j] != kCR) {
          delimiterLine = false;
          break;
        }
      }
      if (delimiterLine) {
        if (seen) {
          // The line break before a delimiter belongs to the delimiter, not to the child.
          size_t e = s;
          if (s > c && b[s - 1] == kLF) {
            e = s - 1;
            if (c < s - 1 && b[s - 2] == kCR) e = s - 2;
          }
          if (partsLeft == 0) return;
          part.appendChild(parseWithin(bytes, ByteRange{c, std::max(e, c)}, depth + 1, partsLeft));
        }
        // Whatever follows the closing delimiter is the epilogue, and is never parsed.
        if (closing) return;
        seen = true;
        c = std::min(i + 1, end);
      }
    }
    s = i + 1;
  }
  if (seen && c < end && partsLeft > 0)
    part.appendChild(parseWithin(bytes, ByteRange{c, end}, depth + 1, partsLeft));
}

std::unique_ptr<MIMEPart> parseWithin(ByteView bytes, ByteRange range, int depth,
                                      size_t& partsLeft) {
  // A range outside the buffer is clamped rather than trusted.
  range.end = std::min(range.end, bytes.size());
  range.begin = std::min(range.begin, range.end);
  HeaderBlock block = readHeader(bytes, range);
  auto part = std::make_unique<MIMEPart>(block.header, block.body, std::move(block.fields));
  if (partsLeft > 0) --partsLeft;
  if (depth >= kMaxDepth || partsLeft == 0 || !part->type().starts_with("multipart/")) return part;
  auto boundary = part->params().find("boundary");
  if (boundary == part->params().end() || boundary->second.empty()) return part;
  // Recursion is bounded by kMaxDepth.
  splitMultipart(bytes, *part, boundary->second, depth, partsLeft);
  return part;
}

}  // namespace

std::unique_ptr<MIMEPart> parse(ByteView bytes) {
  return parsePart(bytes, ByteRange{0, bytes.size()}, 0);
}

std::unique_ptr<MIMEPart> parsePart(ByteView bytes, ByteRange range, int depth) {
  size_t partsLeft = kMaxParts;
  return parseWithin(bytes, range, depth, partsLeft);
}

namespace {

// Adds the parameter of one piece ("key=value") unless its key is already present.
void addParameter(std::string_view piece, std::map<std::string, std::string>& params) {
  size_t split = std::string_view::npos;
  Unicode::forEachGrapheme(piece, [&](std::string_view ch) {
    if (ch != "=") return true;
    split = static_cast<size_t>(ch.data() - piece.data());
    return false;
  });
  if (split == std::string_view::npos) return;

  std::string key = Unicode::lowercased(Unicode::trimBlanks(piece.substr(0, split)));
  // An extended parameter (name*=charset''text) lands under its plain name; a numbered
  // continuation (name*0) keeps its whole name.
  if (!key.empty() && key.back() == '*') {
    std::string_view last;
    Unicode::forEachGrapheme(key, [&](std::string_view ch) {
      last = ch;
      return true;
    });
    if (last == "*") key.pop_back();
  }

  std::string_view value = Unicode::trimBlanks(piece.substr(split + 1));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    std::string_view first, last;
    size_t count = 0;
    Unicode::forEachGrapheme(value, [&](std::string_view ch) {
      if (count++ == 0) first = ch;
      last = ch;
      return true;
    });
    // Only the enclosing quotes go; backslashes and RFC 2231 syntax stay as written.
    if (count >= 2 && first == "\"" && last == "\"") value = value.substr(1, value.size() - 2);
  }
  params.try_emplace(std::move(key), value);
}

}  // namespace

std::pair<std::string, std::map<std::string, std::string>> parseParams(std::string_view value) {
  // Pieces are cut at ';' outside double quotes; quotes stay in the piece. Characters are
  // user-perceived ones: a quote carrying a combining mark is not a quote. Each piece is the
  // text between two cuts, handled as soon as it ends.
  std::pair<std::string, std::map<std::string, std::string>> result;
  bool head = true;
  auto finish = [&](std::string_view piece) {
    if (head) {
      result.first = Unicode::lowercased(Unicode::trimBlanks(piece));
      head = false;
    } else {
      addParameter(piece, result.second);
    }
  };
  size_t pieceStart = 0;
  bool quoted = false;
  Unicode::forEachGrapheme(value, [&](std::string_view ch) {
    if (ch == "\"") {
      quoted = !quoted;
    } else if (ch == ";" && !quoted) {
      const auto cut = static_cast<size_t>(ch.data() - value.data());
      finish(value.substr(pieceStart, cut - pieceStart));
      pieceStart = cut + 1;
      quoted = false;
    }
    return true;
  });
  finish(value.substr(pieceStart));
  return result;
}

}  // namespace qy::MIME
