// Local translation servers as translators, driven against stand-ins of each wire format: the
// requests they get, answers as models write them, halving on a miscount, the errors users read,
// and the time limits (a slow first answer, a server that never answers).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/translate/translator.h"
#include "platform/chat_answer.h"
#include "platform/local_http.h"
#include "platform/server_provider.h"
#include "platform/system_translation_service.h"
#include "support/stand_in_server.h"
#include "support/temp_dir.h"

namespace qy::platform {
namespace {

using namespace std::chrono_literals;
using qy::testing::StandInServer;
using qy::testing::standInTranslation;
using Api = StandInServer::Api;
using Style = StandInServer::Style;

TranslationDeadline healthy() { return TranslationDeadline::after(kTranslationTimeLimit); }

std::vector<TranslationRequest> requests(const std::vector<std::string>& texts) {
  std::vector<TranslationRequest> out;
  for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], std::to_string(i)});
  return out;
}

ServerSpec specFor(const StandInServer& server, Api api, std::string model = "qwen2.5:7b") {
  switch (api) {
    case Api::ollama: return {ServerApi::ollama, server.url(), model, {}, "", std::nullopt};
    case Api::openai: return {ServerApi::openai, server.url(), model, {}, "", std::nullopt};
    case Api::libretranslate: return {ServerApi::libretranslate, server.url(), "", {}, "", std::nullopt};
  }
  return {};
}

// The translations a batch came back with, by request index ("" where none).
std::vector<std::string> byIndex(const BatchResult& result, size_t count) {
  std::vector<std::string> out(count);
  for (const auto& response : result.responses) out[std::stoul(*response.clientIdentifier)] = response.targetText;
  return out;
}

std::vector<std::string> expected(const std::vector<std::string>& texts, const std::string& target) {
  std::vector<std::string> out;
  for (const auto& text : texts) out.push_back(standInTranslation(text, target));
  return out;
}

// Options with one thing set, written in place: with([](auto& o) { o.style = Style::think; }).
template <typename Set>
StandInServer::Options with(Set set) {
  StandInServer::Options options;
  set(options);
  return options;
}

ServerProviderOptions limits(std::chrono::milliseconds request, std::chrono::milliseconds first) {
  ServerProviderOptions options;
  options.requestLimit = request;
  options.firstRequestLimit = first;
  return options;
}

std::string port(const StandInServer& server) { return std::to_string(server.port()); }

const std::vector<std::string> kTexts = {"Hello, Maria.", "The train leaves at 9:40 from platform 3.",
                                         "See https://example.org/{id} <b>now</b>", "Best regards"};

TEST(ChatAnswer, AnswersAreReadAsModelsWriteThem) {
  struct Case { const char* name; std::string content; size_t expected; bool ok; };
  const Case kCases[] = {
      {"array", R"(["a", "b"])", 2, true},
      {"fenced", "```json\n[\"a\",\n \"b\"]\n```", 2, true},
      {"fence without language", "```\n[\"a\", \"b\"]\n```", 2, true},
      {"think block", "<think>Maybe [\"x\"]? Let me see.</think>\n[\"a\", \"b\"]", 2, true},
      {"object holding the array", R"({"translations": ["a", "b"]})", 2, true},
      {"object with a name of its own", R"({"result": ["a", "b"]})", 2, true},
      {"prose around", "Here you go:\n[\"a\", \"b\"]\nHope this helps!", 2, true},
      {"brackets in prose before", "Note [1]: here it is [\"a\", \"b\"]", 2, true},
      {"a number left bare", R"(["a", 42])", 2, true},
      {"one bare string for one text", R"("a")", 1, true},
      {"too few", R"(["a"])", 2, false},
      {"too many", R"(["a", "b", "c"])", 2, false},
      {"prose only", "Sure! Here is the translation.", 2, false},
      {"objects in the array", R"([{"text": "a"}, {"text": "b"}])", 2, false},
      {"unclosed think", "<think>[\"a\", \"b\"", 2, false},
      {"empty", "", 1, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto parsed = ChatAnswer::parse(c.content, c.expected);
    EXPECT_EQ(parsed.has_value(), c.ok);
    if (parsed && c.expected == 2) {
      EXPECT_EQ((*parsed)[0], "a");
    }
  }
}

TEST(ChatAnswer, ThePromptNamesTheLanguagesInEnglishAndTheCount) {
  const std::string system = ChatAnswer::systemMessage("de", "zh-Hans", 3);
  EXPECT_NE(system.find("from German into Simplified Chinese"), std::string::npos) << system;
  EXPECT_NE(system.find("exactly 3 strings"), std::string::npos);
  EXPECT_NE(system.find("URLs"), std::string::npos);
  EXPECT_EQ(ChatAnswer::userMessage({"a\"b", "bad \xFF"}), "[\"a\\\"b\",\"bad \xEF\xBF\xBD\"]");
}

TEST(ServerProvider, EachWireFormatTranslatesABatchInOneRequest) {
  struct Case { const char* name; Api api; StandInServer::Options options; std::string written; };
  const Case kCases[] = {
      {"ollama", Api::ollama, {}, "Simplified Chinese"},
      {"openai", Api::openai, {}, "Simplified Chinese"},
      {"libretranslate", Api::libretranslate, {}, "zh-Hans"},
      {"libretranslate before 1.6", Api::libretranslate, with([](auto& o) { o.oldChineseCodes = true; }), "zh"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    StandInServer server(c.api, c.options);
    ServerProvider provider(specFor(server, c.api));
    ASSERT_EQ(provider.status("en", "zh-Hans"), PairStatus::installed);
    const BatchResult result = provider.session("en", "zh-Hans")->translations(requests(kTexts), healthy());
    ASSERT_EQ(result.error, std::nullopt);
    EXPECT_EQ(byIndex(result, kTexts.size()), expected(kTexts, c.written));
    ASSERT_EQ(server.posts().size(), 1u);
    const nlohmann::json body = server.posts()[0];
    if (c.api == Api::ollama) {
      EXPECT_EQ(body["stream"], false);
      EXPECT_EQ(body["format"]["minItems"], kTexts.size());
      EXPECT_EQ(body["options"]["temperature"], 0);
      EXPECT_EQ(body["messages"][0]["role"], "system");
    } else if (c.api == Api::openai) {
      EXPECT_EQ(body["response_format"]["type"], "json_schema");
      EXPECT_EQ(body["temperature"], 0);
    } else {
      EXPECT_EQ(body["q"], nlohmann::json(kTexts));
      EXPECT_EQ(body["source"], "en");
      EXPECT_EQ(body["target"], c.written);
    }
  }
}

TEST(ServerProvider, LooseAnswersAreReadAndMiscountsAreAskedAgainInHalves) {
  struct Case { const char* name; Style style; size_t posts; bool translated; };
  const Case kCases[] = {
      {"fenced", Style::fenced, 1, true},
      {"think block", Style::think, 1, true},
      {"object", Style::object, 1, true},
      // 4 → 2 → 1 + 1, then 2 → 1 + 1: seven requests, every text translated on its own.
      {"miscounted", Style::miscount, 7, true},
      {"prose", Style::prose, 7, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    StandInServer server(Api::ollama, with([&](auto& o) { o.style = c.style; }));
    ServerProvider provider(specFor(server, Api::ollama));
    const BatchResult result = provider.session("en", "zh-Hans")->translations(requests(kTexts), healthy());
    ASSERT_EQ(result.error, std::nullopt);
    EXPECT_EQ(server.posts().size(), c.posts);
    if (c.translated) {
      EXPECT_EQ(byIndex(result, kTexts.size()), expected(kTexts, "Simplified Chinese"));
      EXPECT_EQ(result.partialError, std::nullopt);
    } else {
      EXPECT_TRUE(result.responses.empty());
      EXPECT_EQ(result.partialError, "Ollama（127.0.0.1:" + port(server) +
                                         "）没能翻译其中 4 段：它的回答不是所要的 JSON 数组");
    }
  }
  // The halves go in document order: the single texts were asked for first to last.
  StandInServer server(Api::ollama, with([](auto& o) { o.style = Style::miscount; }));
  ServerProvider provider(specFor(server, Api::ollama));
  (void)provider.session("en", "zh-Hans")->translations(requests(kTexts), healthy());
  std::vector<std::string> singles;
  for (const auto& body : server.posts()) {
    const auto texts = nlohmann::json::parse(body["messages"][1]["content"].get<std::string>());
    if (texts.size() == 1) singles.push_back(texts[0]);
  }
  EXPECT_EQ(singles, kTexts);
}

TEST(ServerProvider, AServerThatRefusesResponseFormatIsAskedPlainlyFromThenOn) {
  StandInServer server(Api::openai, with([](auto& o) {
    o.models = {"m"};
    o.refuseResponseFormat = true;
  }));
  ServerProvider provider(specFor(server, Api::openai, "m"));
  auto session = provider.session("en", "zh-Hans");
  for (int batch = 0; batch < 2; ++batch) {
    const BatchResult result = session->translations(requests({"Hello"}), healthy());
    ASSERT_EQ(result.error, std::nullopt);
    EXPECT_EQ(byIndex(result, 1), expected({"Hello"}, "Simplified Chinese"));
  }
  const auto posts = server.posts();
  ASSERT_EQ(posts.size(), 3u);  // with, without; then only without
  EXPECT_TRUE(posts[0].contains("response_format"));
  EXPECT_FALSE(posts[1].contains("response_format"));
  EXPECT_FALSE(posts[2].contains("response_format"));
}

TEST(ServerProvider, ErrorsAreInChineseAndNameTheServer) {
  StandInServer ollama(Api::ollama, with([](auto& o) { o.models = {"llama3.2"}; }));
  StandInServer openai(Api::openai, with([](auto& o) {
    o.models = {"m"};
    o.apiKey = "secret";
  }));
  StandInServer libre(Api::libretranslate);
  int gonePort = 0;
  {
    StandInServer gone(Api::ollama);
    gonePort = gone.port();
  }
  struct Case { const char* name; ServerSpec spec; std::string error; };
  const std::vector<Case> cases = {
      {"model not pulled", specFor(ollama, Api::ollama),
       "Ollama 里没有模型 qwen2.5:7b：先运行 ollama pull qwen2.5:7b"},
      {"not running",
       {ServerApi::ollama, "http://127.0.0.1:" + std::to_string(gonePort), "qwen2.5:7b", {}, "", std::nullopt},
       "无法连接本机的 Ollama（127.0.0.1:" + std::to_string(gonePort) + "）：它没有在运行"},
      {"the server's own words", {ServerApi::openai, openai.url(), "m", {}, "wrong", std::nullopt},
       "OpenAI 兼容服务（127.0.0.1:" + port(openai) + "）报告错误：Invalid API key"},
      {"pair it does not serve", {ServerApi::libretranslate, libre.url(), "", {{"*", "ja"}}, "", std::nullopt},
       "LibreTranslate（127.0.0.1:" + port(libre) + "）报告错误：en is not supported"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerProvider provider(c.spec);
    const BatchResult result = provider.session("en", c.spec.pairs.empty() ? "zh-Hans" : "ja")
                                   ->translations(requests({"Hello"}), healthy());
    EXPECT_EQ(result.error, c.error);
    EXPECT_FALSE(result.timedOut);
  }
}

TEST(ServerProvider, LibreTranslatePairsComeFromItsLanguagesReadOnce) {
  StandInServer libre(Api::libretranslate, with([](auto& o) { o.oldChineseCodes = true; }));
  ServerProvider provider(specFor(libre, Api::libretranslate));
  EXPECT_EQ(provider.status("en", "zh-Hant"), PairStatus::installed);
  EXPECT_EQ(provider.status("de", "zh-Hans"), PairStatus::installed);
  EXPECT_EQ(provider.status("en", "es-MX"), PairStatus::installed);
  EXPECT_EQ(provider.servedTarget("en", "es-MX"), "es");
  EXPECT_EQ(provider.status("de", "es"), PairStatus::unsupported);
  EXPECT_EQ(provider.status("ja", "en"), PairStatus::unsupported);
  const BatchResult result = provider.session("en", "zh-Hant-TW")->translations(requests({"Hi"}), healthy());
  EXPECT_EQ(byIndex(result, 1), expected({"Hi"}, "zt"));
  const auto asked = libre.requests();
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "GET /languages"), 1);
}

TEST(ServerProvider, TheFirstAnswerMayTakeLongerThanTheRest) {
  // The model loads on the first request: it answers after the per-request limit, but within the
  // first request's.
  StandInServer server(Api::ollama, with([](auto& o) { o.firstAnswerDelay = 1500ms; }));
  ServerProvider provider(specFor(server, Api::ollama), limits(500ms, 120s));
  const BatchResult result = provider.session("en", "zh-Hans")->translations(requests({"Hello"}), healthy());
  EXPECT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.responses.size(), 1u);
}

TEST(ServerProvider, AServerThatNeverAnswersCostsOneRequestLimit) {
  StandInServer server(Api::ollama, with([](auto& o) { o.neverAnswer = true; }));
  ServerProvider provider(specFor(server, Api::ollama), limits(300ms, 300ms));
  const BatchResult result = provider.session("en", "zh-Hans")->translations(requests({"Hello"}), healthy());
  EXPECT_EQ(result.error, "Ollama（127.0.0.1:" + port(server) + "）在 0.3 秒内没有回答");
  EXPECT_TRUE(result.timedOut);
}

// translators.json naming the stand-in, for the whole service and the translator.
struct ServerConfig {
  qy::testing::TempDir dir;
  std::vector<std::string> log;
  std::shared_ptr<SystemTranslationService> service;
  explicit ServerConfig(const std::string& json, ServerProviderOptions options = {}) {
    qy::testing::writeFile(dir / "translators.json", json);
    std::filesystem::permissions(dir / "translators.json", std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::owner_write);
    SystemServiceOptions system;
    system.configFile = dir / "translators.json";
    system.servers = options;
    system.log = [this](std::string_view line) { log.emplace_back(line); };
    service = std::make_shared<SystemTranslationService>(system);
  }
};

std::string ollamaEntry(const StandInServer& server) {
  return R"({"api": "ollama", "url": ")" + server.url() + R"(", "model": "qwen2.5:7b"})";
}

TEST(ServerService, ALongMessageFillsInBatchByBatch) {
  StandInServer server(Api::ollama);
  ServerConfig config(R"({"apertium": false, "servers": [)" + ollamaEntry(server) + "]}");
  std::vector<std::string> texts;
  for (int i = 0; i < 30; ++i)
    texts.push_back("Paragraph " + std::to_string(i) + ": the library opens its new reading room on "
                    "Saturday, with talks, a book sale and music for children all afternoon long. "
                    "Members get in first, at nine, and everyone else from ten o'clock onwards.");
  Config cfg;
  cfg.targetLanguage = "zh-Hans";
  std::vector<size_t> delivered;
  const auto errors = Translator::run(texts, cfg, [&](TranslationDict batch) { delivered.push_back(batch.size()); },
                                      {}, config.service);
  EXPECT_TRUE(errors.empty()) << errors.front();
  // Bounded by characters, not by the 40 texts a batch may hold; each is delivered as it comes.
  const auto posts = server.posts();
  ASSERT_EQ(delivered.size(), posts.size());
  EXPECT_GT(posts.size(), 3u);
  size_t total = 0;
  for (size_t i = 0; i < posts.size(); ++i) {
    const auto batch = nlohmann::json::parse(posts[i]["messages"][1]["content"].get<std::string>());
    size_t characters = 0;
    for (const auto& text : batch) characters += text.get<std::string>().size();
    EXPECT_LE(characters, kChatBatchCharacters);
    EXPECT_EQ(delivered[i], batch.size());
    total += delivered[i];
  }
  EXPECT_EQ(total, texts.size());
}

TEST(ServerService, AHungServerCostsTheJobOneRequestLimitAcrossLanguages) {
  StandInServer server(Api::ollama, with([](auto& o) { o.neverAnswer = true; }));
  ServerConfig config(R"({"apertium": false, "servers": [)" + ollamaEntry(server) + "]}",
                      limits(300ms, 300ms));
  Config cfg;
  cfg.targetLanguage = "zh-Hans";
  const std::vector<std::string> texts = {
      "The reading room opens on Saturday with talks and a book sale for everyone.",
      "The museum shows a new exhibition about the history of the harbour this winter.",
      "Der Lesesaal öffnet am Samstag mit Vorträgen und einem Bücherverkauf für alle.",
  };
  const auto errors = Translator::run(texts, cfg, {}, {}, config.service);
  // English and German are two groups; the second never reaches the server.
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(server.posts().size(), 1u);
  for (const auto& error : errors) EXPECT_NE(error.find("没有回答"), std::string::npos) << error;
}

TEST(ServerService, ARefusedEntryIsLoggedAndNeverReached) {
  StandInServer server(Api::ollama);
  const size_t before = LocalHttp::connectionsOpened();
  ServerConfig config(R"({"apertium": false, "servers": [
      {"api": "ollama", "url": "http://10.1.2.3:)" + port(server) + R"(", "model": "qwen2.5:7b"},
      {"api": "ollama", "url": "https://127.0.0.1:)" + port(server) + R"(", "model": "qwen2.5:7b"}]})");
  EXPECT_EQ(config.service->status("en", "zh-Hans"), PairStatus::unsupported);
  Config cfg;
  cfg.targetLanguage = "zh-Hans";
  const auto errors = Translator::run({"Hello there"}, cfg, {}, {}, config.service);
  ASSERT_EQ(config.log.size(), 2u);
  EXPECT_EQ(config.log[0], "translators.json: servers 第 1 项：翻译服务地址 http://10.1.2.3:" + port(server) +
                               " 不在本机：只能使用 127.0.0.1、::1 或 localhost，邮件内容不会发往别处，没有使用");
  EXPECT_NE(config.log[1].find("servers 第 2 项：翻译服务地址 https://127.0.0.1:"), std::string::npos);
  EXPECT_EQ(LocalHttp::connectionsOpened(), before);
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace qy::platform
