// Message rebuild around a new HTML body.
#include "core/mime/mime_rebuild.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/base/unicode.h"

namespace qy::MIME {
namespace {

constexpr size_t kLineEndProbe = 4000;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void append(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}
void append(Bytes& out, ByteView bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

}  // namespace

size_t base64LinesSize(size_t dataSize, size_t eolSize) {
  const size_t chars = (dataSize + 2) / 3 * 4;
  const size_t lines = (chars + kBase64LineLength - 1) / kBase64LineLength;
  return chars + (lines > 1 ? (lines - 1) * eolSize : 0);
}

void appendBase64Lines(Bytes& out, std::string_view data, std::string_view eol) {
  const auto* in = reinterpret_cast<const uint8_t*>(data.data());
  const size_t n = data.size();
  size_t column = 0;
  auto put = [&](char ch) {
    if (column == kBase64LineLength) {
      append(out, eol);
      column = 0;
    }
    out.push_back(static_cast<uint8_t>(ch));
    ++column;
  };
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (i < n) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (i + 1 < n ? uint32_t{in[i + 1]} << 8 : 0);
    put(kAlphabet[(v >> 18) & 63]);
    put(kAlphabet[(v >> 12) & 63]);
    put(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
}

Bytes replacing(ByteView bytes, const MIMEPart& part, bool isRoot, std::string_view html) {
  const size_t n = bytes.size();
  // One line-terminator style for the whole message, judged by its beginning.
  const ByteView probe = bytes.first(std::min(n, kLineEndProbe));
  const bool crlf = std::memchr(probe.data(), '\r', probe.size()) != nullptr;
  const std::string_view eol = crlf ? "\r\n" : "\n";

  // The new body is UTF-8; text that is not is repaired rather than passed on broken.
  std::optional<std::string> repaired;
  if (!Unicode::isValidUtf8(html)) repaired = Unicode::repairUtf8(html);
  const std::string_view body = repaired ? std::string_view(*repaired) : html;

  // Kept fields are copied from their raw bytes: folding and terminators stay as they were.
  size_t keptSize = 0;
  bool hasVersion = false;
  for (const MIMEField& f : part.fields()) {
    if (f.name == "content-type" || f.name == "content-transfer-encoding") continue;
    keptSize += f.raw.size();
    if (f.name == "mime-version") hasVersion = true;
  }
  const ByteRange header = part.headerRange();
  const ByteRange bodyRange = part.bodyRange();
  const bool tail = bodyRange.end < n;
  const std::string_view version = "MIME-Version: 1.0";
  const std::string_view type = "Content-Type: text/html; charset=utf-8";
  const std::string_view encoding = "Content-Transfer-Encoding: base64";
  const bool addVersion = isRoot && !hasVersion;

  const size_t total = header.begin + keptSize + eol.size() +
                       (addVersion ? version.size() + eol.size() : 0) + type.size() +
                       encoding.size() + 3 * eol.size() +
                       base64LinesSize(body.size(), eol.size()) +
                       (tail ? n - bodyRange.end : eol.size());
  Bytes out;
  out.reserve(total);

  append(out, bytes.first(header.begin));
  for (const MIMEField& f : part.fields()) {
    if (f.name == "content-type" || f.name == "content-transfer-encoding") continue;
    append(out, f.raw.of(bytes));
  }
  if (out.size() > header.begin && out.back() != '\n') append(out, eol);
  if (addVersion) {
    append(out, version);
    append(out, eol);
  }
  append(out, type);
  append(out, eol);
  append(out, encoding);
  append(out, eol);
  append(out, eol);  // the blank line that ends the header block
  appendBase64Lines(out, body, eol);
  if (tail) {
    append(out, bytes.subspan(bodyRange.end));
  } else {
    append(out, eol);
  }
  return out;
}

}  // namespace qy::MIME
