// Choosing a local server for the user in translators.json: everything else in the file stays as
// the user wrote it, the result is owner-only and still used by the providers, and a file the
// providers would refuse is left alone with the reason.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/translators_config.h"
#include "platform/translators_edit.h"
#include "support/temp_dir.h"

namespace qy::platform {
namespace {

using Json = nlohmann::ordered_json;
using testing::modeOf;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

const Json kOllama = {{"api", "ollama"}, {"url", "http://127.0.0.1:11434"}, {"model", "qwen2.5:7b"}};

TEST(TranslatorsEdit, TheChosenServerGoesFirstAndEverythingElseIsKept) {
  TempDir dir;
  const auto file = dir / "translators.json";
  writeFile(file, R"({"note": "mine",
    "commands": [{"command": ["/usr/local/bin/my-mt"], "pairs": [["en", "ja"]], "x": 1}],
    "servers": [{"api": "libretranslate", "url": "http://127.0.0.1:5000", "apiKey": "k"},
                {"api": "ollama", "url": "http://127.0.0.1:11434/", "model": "llama3"}],
    "apertium": true})");
  chmod(file.c_str(), 0644);
  ASSERT_EQ(TranslatorsEdit::putServerFirst(file, kOllama, /*preferEveryPair=*/true), std::nullopt);

  const Json written = Json::parse(readFile(file));
  // The user's keys in their order; the old entry of the same server replaced, not repeated.
  const Json want = Json::parse(R"({"note": "mine",
    "commands": [{"command": ["/usr/local/bin/my-mt"], "pairs": [["en", "ja"]], "x": 1}],
    "servers": [{"api": "ollama", "url": "http://127.0.0.1:11434", "model": "qwen2.5:7b"},
                {"api": "libretranslate", "url": "http://127.0.0.1:5000", "apiKey": "k"}],
    "apertium": false})");
  EXPECT_EQ(written, want) << written.dump(2);
  EXPECT_EQ(modeOf(file), 0600u);
  const TranslatorsFile read = TranslatorsConfig::read(file);
  EXPECT_EQ(read.refusal, std::nullopt);
  EXPECT_FALSE(read.config.apertium);
  EXPECT_EQ(read.config.commands.size(), 1u);
}

TEST(TranslatorsEdit, AMissingFileIsCreatedAndApertiumKeptUnlessPreferred) {
  TempDir dir;
  const auto file = dir / "translators.json";
  ASSERT_EQ(TranslatorsEdit::putServerFirst(file, kOllama, /*preferEveryPair=*/false), std::nullopt);
  EXPECT_EQ(Json::parse(readFile(file)), Json({{"servers", Json::array({kOllama})}}));
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(TranslatorsConfig::refusal(file), std::nullopt);
}

TEST(TranslatorsEdit, AFileTheProvidersRefuseIsLeftAloneWithTheReason) {
  struct Case {
    const char* name;
    std::string content;
    mode_t mode;
    bool link;
    const char* reason;
  };
  const Case kCases[] = {
      {"not a JSON object", "[1, 2]", 0600, false, "不是 JSON 对象"},
      {"broken JSON", "{\"commands\": [", 0600, false, "不是 JSON 对象"},
      {"writable by others", "{}", 0666, false, "可被组或其他用户写入"},
      {"a symbolic link", "{}", 0600, true, "是符号链接"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto file = dir / "translators.json";
    const auto real = c.link ? dir / "elsewhere.json" : file;
    writeFile(real, c.content);
    chmod(real.c_str(), c.mode);
    if (c.link) {
      ASSERT_EQ(symlink(real.c_str(), file.c_str()), 0);
    }
    const std::optional<std::string> error = TranslatorsEdit::putServerFirst(file, kOllama, true);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->starts_with("没有改动 translators.json：")) << *error;
    EXPECT_NE(error->find(c.reason), std::string::npos) << *error;
    EXPECT_EQ(readFile(real), c.content);
    EXPECT_EQ(std::filesystem::is_symlink(file), c.link);
  }
}

}  // namespace
}  // namespace qy::platform
