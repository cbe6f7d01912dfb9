// Local translation servers as users meet them: a mail through `quillory-ext decode` translated
// by a stand-in Ollama, a refused entry in the banner's and the log's words, and what doctor and
// pairs say about each server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/mime/mime.h"
#include "extension/commands/server_checks.h"
#include "platform/base64.h"
#include "support/stand_in_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::runProcess;
using testing::StandInServer;
using testing::TempDir;

// The storage root of a user whose translators.json names `servers` (and turns Apertium off, so
// that only the server can translate), with Simplified Chinese as the target.
void writeRoot(TempDir& home, const std::string& servers) {
  testing::writeFile(home / "config.json", R"({"targetLanguage": "zh-Hans"})");
  testing::writeFile(home / "translators.json", R"({"apertium": false, "servers": [)" + servers + "]}");
  std::filesystem::permissions(home / "translators.json",
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

std::string entry(const char* api, const std::string& url, const char* model = "qwen2.5:7b") {
  return std::string(R"({"api": ")") + api + R"(", "url": ")" + url + R"(", "model": ")" + model + "\"}";
}

// The decoded text part of a message.
std::string textPart(const std::string& message) {
  ByteView bytes(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  auto root = MIME::parse(bytes);
  const MIMEPart* part = MIME::findTextPart(*root);
  return part ? MIME::decodeString(MIME::decodeBody(bytes, *part), "utf-8", true) : std::string();
}

TEST(ServerDecode, AnEnglishMailIsTranslatedIntoChineseByTheLocalServer) {
  StandInServer ollama(StandInServer::Api::ollama);
  TempDir home;
  writeRoot(home, entry("ollama", ollama.url()));
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  const auto run = runProcess({QY_EXT_BINARY, "decode", "--json"}, input, {{"QY_HOME", home.path().string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto result = nlohmann::json::parse(run.out);
  EXPECT_EQ(result["note"], "translated");
  EXPECT_EQ(result["banner"], "已翻译为简体中文");
  const auto data = platform::base64Decode(result["data"].get<std::string>());
  ASSERT_TRUE(data);
  const std::string html = textPart(*data);
  EXPECT_NE(html.find("Could you send me the slides before Friday?"), std::string::npos);
  EXPECT_NE(html.find("〔Simplified Chinese〕Could you send me the slides before Friday?"), std::string::npos);
  ASSERT_FALSE(ollama.posts().empty());
  EXPECT_EQ(ollama.posts()[0]["model"], "qwen2.5:7b");
}

TEST(ServerDecode, ARefusedEntryIsNamedInTheLogAndTheBannerSaysWhatToDo) {
  StandInServer ollama(StandInServer::Api::ollama);
  TempDir home;
  writeRoot(home, entry("ollama", "http://192.168.1.20:" + std::to_string(ollama.port())));
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  const auto run = runProcess({QY_EXT_BINARY, "decode", "--json"}, input, {{"QY_HOME", home.path().string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto result = nlohmann::json::parse(run.out);
  EXPECT_EQ(result["banner"],
            "翻译未完成（0/6）：系统翻译不支持「英语 → 简体中文」：可在设置的“翻译引擎”里选用本机的 Ollama 等翻译服务");
  EXPECT_NE(readFile(home / "qy.log").find("translators.json: servers 第 1 项：翻译服务地址 http://192.168.1.20:"),
            std::string::npos);
  EXPECT_TRUE(ollama.requests().empty());
}

TEST(ServerDoctor, EachServerIsProbedAndRefusedEntriesAreNamed) {
  StandInServer running(StandInServer::Api::ollama);
  StandInServer::Options noModel;
  noModel.models = {"llama3.2:latest"};
  StandInServer without(StandInServer::Api::ollama, noModel);
  StandInServer libre(StandInServer::Api::libretranslate);
  const auto config = platform::TranslatorsConfig::parse(
      R"({"servers": [)" + entry("ollama", running.url()) + "," + entry("ollama", without.url()) + "," +
      R"({"api": "libretranslate", "url": ")" + libre.url() + R"("},)" +
      entry("openai", "http://10.0.0.7:8080/v1") + "]}");
  ASSERT_TRUE(config);
  std::vector<std::string> got;
  for (const auto& finding : checkServers(*config, "zh-Hans"))
    got.push_back((finding.level == FindingLevel::ok ? "✓ " : finding.level == FindingLevel::note ? "! " : "✗ ") +
                  finding.text);
  const std::string r = "127.0.0.1:" + std::to_string(running.port());
  const std::string l = "127.0.0.1:" + std::to_string(libre.port());
  const std::vector<std::string> want = {
      "✗ translators.json：servers 第 4 项：翻译服务地址 http://10.0.0.7:8080/v1 不在本机：只能使用 127.0.0.1、::1 或 "
      "localhost，邮件内容不会发往别处，没有使用",
      "✓ Ollama（" + r + "）在运行，有模型 qwen2.5:7b",
      "✓ Ollama（" + r + "）试译：Good morning → 〔Simplified Chinese〕Good morning",
      "✗ Ollama 里没有模型 qwen2.5:7b：先运行 ollama pull qwen2.5:7b",
      "✓ LibreTranslate（" + l + "）在运行，提供 7 个语言对",
      "✓ LibreTranslate（" + l + "）试译：Good morning → 〔zh-Hans〕Good morning",
  };
  EXPECT_EQ(got, want);
}

TEST(ServerPairs, EachServerListsWhatItServes) {
  StandInServer libre(StandInServer::Api::libretranslate);
  const auto config = platform::TranslatorsConfig::parse(
      R"({"servers": [)" + entry("ollama", "http://127.0.0.1:11434") + "," +
      R"({"api": "openai", "url": "http://127.0.0.1:8080/v1", "model": "m", "pairs": [["en", "zh-Hans"]]},)" +
      R"({"api": "libretranslate", "url": ")" + libre.url() + R"("}]})");
  ASSERT_TRUE(config);
  std::vector<std::string> problems;
  std::vector<std::string> lines;
  for (const auto& pair : serverPairs(*config, problems)) lines.push_back(pairLine(pair));
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(lines.size(), 2u + 7u);
  EXPECT_EQ(lines[0], "* → *  已安装  Ollama（127.0.0.1:11434）的 qwen2.5:7b");
  EXPECT_EQ(lines[1], "en → zh-Hans  已安装  OpenAI 兼容服务（127.0.0.1:8080）的 m");
  EXPECT_EQ(lines[2], "en → de  已安装  LibreTranslate（127.0.0.1:" + std::to_string(libre.port()) + "）");
}

}  // namespace
}  // namespace qy
