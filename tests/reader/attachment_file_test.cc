// Attachments as files: uuencoded blocks in a text, and the name a download is saved under.
#include "hosts/reader/attachment_file.h"

#include <gtest/gtest.h>

namespace qy::reader {
namespace {

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Uuencoded, BlocksAreFoundAndDecoded) {
  struct Case { const char* name; std::string text; std::vector<UuencodedFile> want; };
  const Case kCases[] = {
      {"one block among text", "hi\nbegin 644 cat.txt\n#0V%T\n`\nend\nbye\n", {{"cat.txt", bytes("Cat")}}},
      {"CRLF lines, blank for zero", "begin 600 a b.bin\r\n#0V%T\r\n \r\nend\r\n", {{"a b.bin", bytes("Cat")}}},
      // 45 bytes on the full line, then a short one; trailing blanks dropped by the sender.
      {"full and short lines",
       "begin 644 f\nM5&AE('%U:6-K(&)R;W=N(&9O>\"!J=6UP<R!O=F5R('1H92!L87IY(&1O9RX@\n#5&AE\n`\nend\n",
       {{"f", bytes("The quick brown fox jumps over the lazy dog. The")}}},
      {"two blocks", "begin 644 a\n!80``\n`\nend\nbegin 644 b\n!8@``\n`\nend\n",
       {{"a", bytes("a")}, {"b", bytes("b")}}},
      {"no end: no file", "begin 644 cat.txt\n#0V%T\n", {}},
      {"not a begin line", "begin the meeting at 10\nbegin 64 x\nend\n", {}},
      {"junk line inside is skipped", "begin 644 c\n#0V%T\nthis is not data at all, no\n`\nend\n",
       {{"c", bytes("Cat")}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(findUuencoded(c.text), c.want);
  }
}

TEST(AttachmentDisposition, NamesAreSafeInBothForms) {
  struct Case { const char* name; std::string_view file, want; };
  const Case kCases[] = {
      {"ASCII", "agenda.pdf", "attachment; filename=\"agenda.pdf\"; filename*=UTF-8''agenda.pdf"},
      {"Chinese", "报告.pdf",
       "attachment; filename=\"______.pdf\"; filename*=UTF-8''%E6%8A%A5%E5%91%8A.pdf"},
      {"quotes, blanks and percent", "a \"b\" 100%.txt",
       "attachment; filename=\"a _b_ 100_.txt\"; filename*=UTF-8''a%20%22b%22%20100%25.txt"},
      {"a path keeps its last part", "../../.bashrc", "attachment; filename=\".bashrc\"; filename*=UTF-8''.bashrc"},
      {"line breaks cannot split the header", "a\r\nSet-Cookie: x",
       "attachment; filename=\"a__Set-Cookie: x\"; filename*=UTF-8''a__Set-Cookie%3A%20x"},
      {"nothing left", "dir/", "attachment; filename=\"______\"; filename*=UTF-8''%E9%99%84%E4%BB%B6"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(attachmentDisposition(c.file), c.want);
  }
}

}  // namespace
}  // namespace qy::reader
