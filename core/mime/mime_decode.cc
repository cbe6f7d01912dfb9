// Text-part selection and transfer decoding.
#include "core/mime/mime_decode.h"

#include <array>
#include <optional>

#include "core/mime/mime_charset.h"

namespace qy::MIME {
namespace {

// 0-63 for the Base64 alphabet, kSkip for every other byte, kStop for '='.
constexpr uint8_t kSkip = 0xFF;
constexpr uint8_t kStop = 0xFE;

constexpr std::array<uint8_t, 256> makeBase64Table() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kSkip;
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  table['='] = kStop;
  return table;
}
constexpr std::array<uint8_t, 256> kBase64 = makeBase64Table();

// The value of a hexadecimal digit, or -1.
int hexValue(uint8_t ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

}  // namespace

const MIMEPart* find(const MIMEPart& part, std::string_view type) {
  if (part.type() == type && part.disposition() != "attachment" && part.children().empty() &&
      !part.bodyRange().empty()) {
    return &part;
  }
  // A forwarded or attached message is never translated.
  if (part.type() == "message/rfc822") return nullptr;
  // Recursion is bounded: the parser never nests deeper than kMaxDepth.
  for (const auto& child : part.children()) {
    if (const MIMEPart* found = find(*child, type)) return found;
  }
  return nullptr;
}

const MIMEPart* findTextPart(const MIMEPart& root) {
  if (const MIMEPart* html = find(root, "text/html")) return html;
  return find(root, "text/plain");
}

Bytes decodeBody(ByteView bytes, const MIMEPart& part) {
  const ByteView body = part.bodyRange().of(bytes);
  if (part.encoding() == "base64") return decodeBase64(body);
  if (part.encoding() == "quoted-printable") return decodeQuotedPrintable(body);
  return Bytes(body.begin(), body.end());
}

Bytes decodeQuotedPrintable(ByteView bytes) {
  Bytes out;
  out.reserve(bytes.size());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t ch = bytes[i];
    if (ch != '=') {
      out.push_back(ch);
      ++i;
      continue;
    }
    if (i + 1 < n && bytes[i + 1] == '\n') {  // soft line break
      i += 2;
      continue;
    }
    if (i + 2 < n) {
      const uint8_t a = bytes[i + 1];
      const uint8_t b = bytes[i + 2];
      if (a == '\r') {
        if (b == '\n') {  // soft line break with CR LF
          i += 3;
          continue;
        }
      } else if (hexValue(a) >= 0 && hexValue(b) >= 0) {
        out.push_back(static_cast<uint8_t>(hexValue(a) * 16 + hexValue(b)));
        i += 3;
        continue;
      }
    }
    // A malformed or cut-off escape: the '=' is an ordinary byte and decoding goes on after it.
    out.push_back('=');
    ++i;
  }
  return out;
}

Bytes decodeBase64(ByteView bytes) {
  Bytes out(bytes.size() / 4 * 3 + 3);
  uint8_t* w = out.data();
  const uint8_t* in = bytes.data();
  const size_t n = bytes.size();
  uint32_t group = 0;
  int count = 0;
  size_t i = 0;
  while (i < n) {
    if (count == 0) {
      // Whole groups of four alphabet characters, the bulk of any body, decode directly.
      while (i + 4 <= n) {
        const uint8_t a = kBase64[in[i]], b = kBase64[in[i + 1]];
        const uint8_t c = kBase64[in[i + 2]], d = kBase64[in[i + 3]];
        if ((a | b | c | d) & 0xC0) break;
        const uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
        w[0] = static_cast<uint8_t>(v >> 16);
        w[1] = static_cast<uint8_t>(v >> 8);
        w[2] = static_cast<uint8_t>(v);
        w += 3;
        i += 4;
      }
      if (i >= n) break;
    }
    const uint8_t v = kBase64[in[i++]];
    if (v == kSkip) continue;  // line breaks, spaces and stray bytes
    if (v == kStop) break;     // '=' ends the data; whatever follows is ignored
    group = (group << 6) | v;
    if (++count == 4) {
      w[0] = static_cast<uint8_t>(group >> 16);
      w[1] = static_cast<uint8_t>(group >> 8);
      w[2] = static_cast<uint8_t>(group);
      w += 3;
      group = 0;
      count = 0;
    }
  }
  // Missing fill: two characters make one byte, three make two; a lone one makes none.
  if (count == 2) {
    *w++ = static_cast<uint8_t>(group >> 4);
  } else if (count == 3) {
    *w++ = static_cast<uint8_t>(group >> 10);
    *w++ = static_cast<uint8_t>(group >> 2);
  }
  out.resize(static_cast<size_t>(w - out.data()));
  return out;
}

std::string decodeText(ByteView bytes, const MIMEPart& part) {
  std::optional<std::string_view> charset;
  if (auto it = part.params().find("charset"); it != part.params().end()) charset = it->second;
  return decodeString(decodeBody(bytes, part), charset, part.type() == "text/html");
}

std::vector<const MIMEPart*> leaves(const MIMEPart& root) {
  std::vector<const MIMEPart*> found;
  // An explicit stack: the parser bounds the depth, but a hostile message nests as deep as it may.
  std::vector<const MIMEPart*> stack{&root};
  while (!stack.empty()) {
    const MIMEPart* part = stack.back();
    stack.pop_back();
    if (part->children().empty()) {
      found.push_back(part);
      continue;
    }
    for (auto it = part->children().rbegin(); it != part->children().rend(); ++it) stack.push_back(it->get());
  }
  return found;
}

}  // namespace qy::MIME
