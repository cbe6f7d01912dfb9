// Properties that hold for every real message of the shared corpus: it parses into a sound tree,
// and replacing its text part changes nothing outside that part and parses back to the new HTML.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "core/base/unicode.h"
#include "support/mime_test_util.h"

namespace qy {
namespace {

using mimetest::text;

std::vector<std::filesystem::path> corpusMessages() {
  std::vector<std::filesystem::path> paths;
  const std::filesystem::path dir = std::filesystem::path(QY_CORPUS_DIR) / "eml";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The deepest part whose header starts at `offset`.
const MIMEPart* partStartingAt(const MIMEPart& part, size_t offset) {
  for (const auto& child : part.children()) {
    if (const MIMEPart* found = partStartingAt(*child, offset)) return found;
  }
  return part.headerRange().begin == offset ? &part : nullptr;
}

TEST(MIMECorpus, EveryMessageParsesAndRebuildsAroundItsTextPart) {
  QY_SKIP_WITHOUT_CORPUS();
  const auto paths = corpusMessages();
  ASSERT_GE(paths.size(), 10u) << "corpus missing at " << QY_CORPUS_DIR;
  const std::string html =
      "<html><body><p>Translated caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87</p>" +
      std::string(200, 'x') + "</body></html>";
  size_t rebuilt = 0;
  for (const auto& path : paths) {
    SCOPED_TRACE(path.filename().string());
    const Bytes message = readFile(path);
    auto root = MIME::parse(message);
    ASSERT_EQ(mimetest::invariantViolation(*root, {0, message.size()}), "");
    const MIMEPart* part = MIME::findTextPart(*root);
    if (part == nullptr) continue;
    // Decoding never fails and always gives valid UTF-8.
    const Bytes body = MIME::decodeBody(message, *part);
    auto charset = part->params().find("charset");
    const std::string decoded = MIME::decodeString(
        body,
        charset == part->params().end() ? std::nullopt
                                        : std::optional<std::string_view>(charset->second),
        part->type() == "text/html");
    EXPECT_TRUE(Unicode::isValidUtf8(decoded));

    const Bytes out = MIME::replacing(message, *part, part == root.get(), html);
    const size_t head = part->headerRange().begin;
    const size_t tail = message.size() - part->bodyRange().end;
    ASSERT_GE(out.size(), head + tail);
    EXPECT_TRUE(std::equal(message.begin(), message.begin() + static_cast<ptrdiff_t>(head),
                           out.begin()))
        << "bytes before the part changed";
    EXPECT_TRUE(std::equal(message.end() - static_cast<ptrdiff_t>(tail), message.end(),
                           out.end() - static_cast<ptrdiff_t>(tail)))
        << "bytes after the part changed";

    auto again = MIME::parse(out);
    ASSERT_EQ(mimetest::invariantViolation(*again, {0, out.size()}), "");
    const MIMEPart* replaced = partStartingAt(*again, head);
    ASSERT_NE(replaced, nullptr);
    EXPECT_EQ(replaced->type(), "text/html");
    EXPECT_EQ(MIME::findTextPart(*again), replaced);
    EXPECT_EQ(MIME::decodeString(MIME::decodeBody(out, *replaced), "utf-8", true), html);
    ++rebuilt;
  }
  EXPECT_GT(rebuilt, paths.size() / 2);
}

}  // namespace
}  // namespace qy
