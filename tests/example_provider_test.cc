// The example translation program that README shows for translators.json works as printed: with
// Apertium's command behind it (and Apertium itself turned off) a mail is translated through it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::runProcess;
using testing::TempDir;

TEST(ExampleProvider, TranslatesAMailThroughACommandLineTranslator) {
  TempDir home;
  const std::string script = std::string(QY_SOURCE_DIR) + "/dist/examples/mt-command.py";
  testing::writeFile(home / "translators.json",
                     R"({"apertium": false, "commands": [{"command": [")" + script +
                         R"(", "--", "apertium", "-u", "eng-spa"], "pairs": [["en", "es"]]}]})");
  std::filesystem::permissions(home / "translators.json",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  testing::writeFile(home / "config.json", R"({"targetLanguage": "es"})");
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  auto run = runProcess({QY_EXT_BINARY, "decode", "--status-header"}, input, {{"QY_HOME", home.path().string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("X-Quillory-Status: translated;", 0), 0u) << run.out.substr(0, 200);
  EXPECT_NE(readFile(home / "qy.log").find("B -> translated 6/6 segments"), std::string::npos);

  // The protocol's error answer, for a request it cannot read.
  auto bad = runProcess({script, "--", "apertium", "-u", "eng-spa"}, "{\"texts\": 1}\n");
  EXPECT_EQ(bad.status, 0);
  EXPECT_EQ(bad.out.rfind("{\"error\": ", 0), 0u) << bad.out;
}

}  // namespace
}  // namespace qy
