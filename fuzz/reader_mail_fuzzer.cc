// Fuzzes what the web mail reader reads from the user's mail files: mbox splitting, the list's
// summary of a message (encoded words, display names, dates) and the message view (body, inline
// images, attachments with their bytes and uuencoded files, the frame document and its
// colour-scheme variant, the download's Content-Disposition).
// Invariants: split messages lie inside the file, in order, and are never longer than it; every
// text the reader shows is valid UTF-8; an attachment's bytes are as long as the list says; a
// Content-Disposition is one line of printable ASCII.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/unicode.h"
#include "core/mime/header_values.h"
#include "core/mime/header_words.h"
#include "hosts/reader/attachment_file.h"
#include "hosts/reader/color_scheme.h"
#include "hosts/reader/mail_source.h"
#include "hosts/reader/mbox.h"
#include "hosts/reader/message_view.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

void requireText(const std::string& text, const char* what) { require(qy::Unicode::isValidUtf8(text), what); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qy::reader;
  using qy::MIME::decodeHeaderWords;
  using qy::MIME::displayName;
  using qy::MIME::parseMailDate;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  size_t previous = 0;
  bool first = true;
  for (const auto& m : splitMbox(input)) {
    require(m.offset < size && (first || m.offset > previous), "mbox offsets in order");
    require(m.bytes.size() <= size - m.offset, "mbox message inside the file");
    require(m.envelope.rfind("From ", 0) == 0, "envelope line");
    previous = m.offset;
    first = false;
  }

  const MessageSummary summary = summarize(input, 0);
  requireText(summary.from, "summary from");
  requireText(summary.subject, "summary subject");
  requireText(summary.date, "summary date");
  requireText(decodeHeaderWords(input), "header words");
  requireText(displayName(decodeHeaderWords(input)), "display name");
  (void)parseMailDate(input);

  const MessageView view = buildMessageView(input);
  for (const std::string* text : {&view.from, &view.to, &view.cc, &view.date, &view.subject, &view.frameHtml})
    requireText(*text, "view text");
  for (const auto& a : view.attachments) {
    requireText(a.name, "attachment name");
    require(a.size <= size, "attachment size");
  }
  requireText(withColorScheme(view.frameHtml, true), "dark frame");
  // Each lookup builds the view again: a few are enough to compare with the list.
  for (size_t i = 0; i < view.attachments.size() && i < 4; ++i) {
    const auto file = attachmentContent(input, i);
    require(file && file->data.size() == view.attachments[i].size, "attachment bytes as listed");
  }
  require(!attachmentContent(input, view.attachments.size()), "nothing past the list");
  for (const auto& file : findUuencoded(input)) require(file.data.size() <= size, "uudecoded size");
  for (unsigned char c : attachmentDisposition(input)) require(c >= 0x20 && c < 0x7F, "disposition ASCII");
  return 0;
}
