// Fuzzes the message path of the MIME module on arbitrary bytes: parse, choose the text part,
// decode it, rebuild the message around new HTML and parse the result again.
// Invariants: every range lies inside the buffer and nests properly; decoded text is valid UTF-8;
// the rebuilt message keeps the bytes around the part and parses back to the new HTML part.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/base/unicode.h"
#include "tests/support/mime_test_util.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

const qy::MIMEPart* partStartingAt(const qy::MIMEPart& part, size_t offset) {
  for (const auto& child : part.children()) {
    if (const qy::MIMEPart* found = partStartingAt(*child, offset)) return found;
  }
  return part.headerRange().begin == offset ? &part : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qy;
  const ByteView message(data, size);
  auto root = MIME::parse(message);
  require(mimetest::invariantViolation(*root, {0, size}).empty(), "tree ranges");

  const MIMEPart* part = MIME::findTextPart(*root);
  if (part == nullptr) return 0;
  const Bytes body = MIME::decodeBody(message, *part);
  auto charset = part->params().find("charset");
  std::optional<std::string_view> declared;
  if (charset != part->params().end()) declared = charset->second;
  const std::string decoded = MIME::decodeString(body, declared, part->type() == "text/html");
  require(Unicode::isValidUtf8(decoded), "decoded text is UTF-8");

  // A prefix of the text, repaired where the cut splits a character.
  const std::string html = "<p>" + Unicode::repairUtf8(decoded.substr(0, 64)) + "</p>";
  const Bytes out = MIME::replacing(message, *part, part == root.get(), html);
  const size_t head = part->headerRange().begin;
  const size_t tail = size - part->bodyRange().end;
  require(out.size() >= head + tail, "rebuilt size");
  require(std::equal(data, data + head, out.begin()), "bytes before the part");
  require(std::equal(data + size - tail, data + size, out.end() - static_cast<ptrdiff_t>(tail)),
          "bytes after the part");

  auto again = MIME::parse(out);
  require(mimetest::invariantViolation(*again, {0, out.size()}).empty(), "rebuilt tree ranges");
  const MIMEPart* replaced = partStartingAt(*again, head);
  require(replaced != nullptr && replaced->type() == "text/html", "rebuilt part is HTML");
  require(MIME::decodeString(MIME::decodeBody(out, *replaced), "utf-8", true) == html,
          "rebuilt part decodes to the HTML");
  return 0;
}
