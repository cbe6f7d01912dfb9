// Every message of the mail corpus through the whole pipeline, bilingual and replaced, with dark
// rewriting on: the call ends in a known outcome, and a rebuilt message keeps every byte outside
// the replaced text part and shows each translation it reports as done.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/mime/mime.h"
#include "support/corpus.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

TEST(EngineCorpus, RealMailEndsInAKnownOutcomeAndKeepsItsOtherBytes) {
  QY_SKIP_WITHOUT_CORPUS();
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(QY_CORPUS_DIR) / "eml"))
    paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  ASSERT_FALSE(paths.empty());
  const std::vector<std::string> kNotes = {"translated", "没有文字正文", "签名或加密邮件", "正文为空",
                                           "没有可翻译的文字", "已是目标语言", "dark"};
  size_t rebuilt = 0;
  for (const char* mode : {"bilingual", "replace"}) {
    testing::EngineFixture f;
    Config cfg;
    cfg.targetLanguage = "es";
    cfg.mode = mode;
    cfg.darkMode = "on";
    f.setConfig(cfg);
    for (const auto& path : paths) {
      SCOPED_TRACE(std::string(mode) + " " + path.filename().string());
      const std::string input = testing::readFile(path);
      auto result = f.process(input);
      EXPECT_NE(std::find(kNotes.begin(), kNotes.end(), result.note), kNotes.end()) << result.note;
      if (!result.data) continue;
      ++rebuilt;
      ByteView before(reinterpret_cast<const uint8_t*>(input.data()), input.size());
      auto originalRoot = MIME::parse(before);
      const MIMEPart* original = MIME::findTextPart(*originalRoot);
      ASSERT_NE(original, nullptr);
      const std::string& out = std::string(result.data->begin(), result.data->end());
      // Everything before the part's header and after its body is unchanged.
      EXPECT_EQ(out.substr(0, original->headerRange().begin),
                input.substr(0, original->headerRange().begin));
      const std::string tail = input.substr(original->bodyRange().end);
      ASSERT_GE(out.size(), tail.size());
      EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
      // The new part is HTML and parses back.
      auto root = MIME::parse(*result.data);
      const MIMEPart* part = MIME::findTextPart(*root);
      ASSERT_NE(part, nullptr);
      EXPECT_EQ(part->type(), "text/html");
      if (result.note == "translated") {
        const std::string html = testing::bodyText(result);
        EXPECT_NE(html.find("ES:"), std::string::npos);
      }
    }
  }
  EXPECT_GT(rebuilt, 20u);
}

}  // namespace
}  // namespace qy
