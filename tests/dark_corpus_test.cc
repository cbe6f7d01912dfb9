// DarkContext on the shared corpus of real HTML mail: every start tag and style sheet, once its
// markers are removed and its variables unwrapped, is exactly what the sender wrote.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/temp_dir.h"
#include "core/base/regex.h"
#include "core/dark/dark_context.h"

namespace qy {
namespace {

namespace fs = std::filesystem;
using testing::readFile;

// Undoes the rewriting: drops ` data-qyb="N"` and ` data-qyc="N"`, and turns every
// "var(--qy-N, X)" back into X (X holds at most one level of parentheses).
std::string unwrap(const std::string& text) {
  static const Regex kMarker(R"( data-qy[bc]="\d+")");
  static const Regex kVariable(R"(var\(--qy-\d+, )");
  std::string withoutMarkers;
  size_t copied = 0;
  for (const auto& m : kMarker.findAll(text)) {
    withoutMarkers.append(text, copied, m.begin() - copied);
    copied = m.end();
  }
  withoutMarkers.append(text, copied);

  std::string out;
  copied = 0;
  size_t position = 0;
  while (auto m = kVariable.search(withoutMarkers, position)) {
    out.append(withoutMarkers, copied, m->begin() - copied);
    size_t i = m->end();
    int depth = 1;
    while (i < withoutMarkers.size()) {
      if (withoutMarkers[i] == '(') ++depth;
      if (withoutMarkers[i] == ')' && --depth == 0) break;
      ++i;
    }
    out.append(withoutMarkers, m->end(), i - m->end());
    copied = position = i + 1;
  }
  out.append(withoutMarkers, std::min(copied, withoutMarkers.size()));
  return out;
}

TEST(DarkCorpus, RewritingRealMailOnlyAddsMarkersAndVariables) {
  QY_SKIP_WITHOUT_CORPUS();
  size_t tags = 0, rewrittenTags = 0, sheets = 0, rewrittenSheets = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(QY_CORPUS_DIR) / "html")) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::string html = readFile(entry.path());
    Config cfg;
    cfg.darkMode = "on";
    auto dark = DarkContext::make(cfg, false);
    ASSERT_TRUE(dark);
    size_t i = 0;
    while ((i = html.find('<', i)) != std::string::npos) {
      size_t end = html.find('>', i);
      if (end == std::string::npos) break;
      size_t nameEnd = i + 1;
      while (nameEnd < end && std::isalnum(static_cast<unsigned char>(html[nameEnd]))) ++nameEnd;
      std::string name = html.substr(i + 1, nameEnd - i - 1);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string tag = html.substr(i, end + 1 - i);
      if (!name.empty()) {
        ++tags;
        std::string out = dark->rewriteTag(tag, name);
        if (out != tag) ++rewrittenTags;
        EXPECT_EQ(unwrap(out), tag);
      }
      if (name == "style") {
        size_t close = html.find("</style>", end);
        if (close == std::string::npos) break;
        std::string sheet = html.substr(end + 1, close - end - 1);
        ++sheets;
        std::string out = dark->rewriteStylesheet(sheet);
        if (out != sheet) ++rewrittenSheets;
        EXPECT_EQ(unwrap(out), sheet);
        end = close;
      }
      i = end + 1;
    }
    std::string head = dark->headBlock();
    EXPECT_EQ(head.find("nan"), std::string::npos);
    EXPECT_EQ(head.find("inf"), std::string::npos);
  }
  EXPECT_GT(tags, 500u);
  EXPECT_GT(rewrittenTags, 100u);
  EXPECT_GT(sheets, 5u);
  EXPECT_GT(rewrittenSheets, 5u);
}

}  // namespace
}  // namespace qy
