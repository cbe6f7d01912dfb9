// Local translation servers as entries and addresses: the loopback rule (with the proof that a
// refused address opens no connection), "servers" in translators.json, the wire's answers read
// tolerantly, and the survey of each kind of server against a stand-in.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/local_http.h"
#include "platform/local_server.h"
#include "platform/server_wire.h"
#include "platform/translators_config.h"
#include "support/stand_in_server.h"

namespace qy::platform {
namespace {

using qy::testing::StandInServer;
using namespace std::chrono_literals;

LocalHttp::Request get(std::string path) {
  LocalHttp::Request request;
  request.path = std::move(path);
  return request;
}

TEST(LocalHttp, UrlsAreTakenApartOrRefused) {
  struct Case { const char* url; std::optional<LocalHttp::Url> want; };
  const Case kCases[] = {
      {"http://127.0.0.1:11434", LocalHttp::Url{"127.0.0.1", 11434, ""}},
      {"http://127.0.0.1:8080/v1/", LocalHttp::Url{"127.0.0.1", 8080, "/v1"}},
      {"http://[::1]:5000", LocalHttp::Url{"::1", 5000, ""}},
      {"http://localhost", LocalHttp::Url{"localhost", 80, ""}},
      {"https://127.0.0.1:11434", std::nullopt},
      {"127.0.0.1:11434", std::nullopt},
      {"http://user@127.0.0.1:11434", std::nullopt},
      {"http://127.0.0.1:11434/?q=1", std::nullopt},
      {"http://127.0.0.1:99999", std::nullopt},
      {"http://127.0.0.1:", std::nullopt},
      {"http://[::1", std::nullopt},
      {"http://", std::nullopt},
      {"http://127.0.0.1:11434/a b", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.url);
    EXPECT_EQ(LocalHttp::parseUrl(c.url), c.want);
  }
}

TEST(LoopbackRule, OnlyHttpToThisMachineIsAllowed) {
  struct Case { const char* url; const char* refusal; };  // refusal: part of the reason, null: allowed
  const Case kCases[] = {
      {"http://127.0.0.1:11434", nullptr},
      {"http://127.8.9.10:5000", nullptr},
      {"http://[::1]:8080/v1", nullptr},
      {"http://localhost:11434", nullptr},
      {"http://LOCALHOST:11434", nullptr},
      {"https://127.0.0.1:11434", "https:// 地址"},
      {"ftp://127.0.0.1/", "不是 http:// 地址"},
      {"http://10.0.0.5:11434", "不在本机"},
      {"http://0.0.0.0:11434", "不在本机"},
      {"http://[::ffff:10.0.0.1]:80", "不在本机"},
      {"http://192.168.1.2:11434", "不在本机"},
      {"http://ollama.example.com:11434", "不在本机"},
      {"http://127.0.0.1.nip.io:11434", "不在本机"},
      {"http://localhost.localdomain:11434", "不在本机"},
      {"http://user@127.0.0.1", "无法识别"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.url);
    const auto refusal = loopbackRefusal(c.url);
    if (!c.refusal) {
      EXPECT_EQ(refusal, std::nullopt);
      continue;
    }
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find(c.refusal), std::string::npos) << *refusal;
    EXPECT_NE(refusal->find(c.url), std::string::npos) << "names the address: " << *refusal;
  }
}

TEST(LoopbackRule, ARefusedAddressOpensNoConnection) {
  StandInServer server(StandInServer::Api::ollama);
  const std::string port = std::to_string(server.port());
  const size_t before = LocalHttp::connectionsOpened();
  for (const std::string& url : std::vector<std::string>{"https://127.0.0.1:" + port, "http://10.255.255.1:" + port,
                                "http://example.invalid:" + port, "http://[2001:db8::1]:" + port}) {
    SCOPED_TRACE(url);
    const LocalHttp::Response response = LocalHttp::send(url, get("/api/tags"));
    EXPECT_EQ(response.failure, LocalHttp::Failure::refused);
    const ServerSurvey survey = surveyServer(ServerApi::ollama, url, "", 5s);
    EXPECT_FALSE(survey.reachable);
    EXPECT_EQ(survey.error, loopbackRefusal(url));
  }
  EXPECT_EQ(LocalHttp::connectionsOpened(), before);
  EXPECT_TRUE(server.requests().empty());
  // The count does count: the same server at its loopback address is reached once.
  EXPECT_EQ(LocalHttp::send(server.url(), get("/api/tags")).status, 200);
  EXPECT_EQ(LocalHttp::connectionsOpened(), before + 1);
}

TEST(TranslatorsConfig, ServersAreReadInOrderAndRefusedEntriesSayWhy) {
  const auto config = TranslatorsConfig::parse(R"({"servers": [
      {"api": "ollama", "url": "http://127.0.0.1:11434", "model": "qwen2.5:7b"},
      {"api": "openai", "url": "http://127.0.0.1:8080/v1", "model": "m", "apiKey": "k", "timeoutSeconds": 30},
      {"api": "libretranslate", "url": "http://localhost:5000", "pairs": [["en", "zh-Hans"], ["x"]], "timeoutSeconds": 0},
      {"api": "ollama", "url": "http://192.168.1.20:11434", "model": "qwen2.5:7b"},
      {"api": "deepl", "url": "http://127.0.0.1:1"},
      {"api": "ollama", "url": "http://127.0.0.1:11434"},
      {"api": "openai", "model": "m"},
      "http://127.0.0.1:11434"
    ]})");
  ASSERT_TRUE(config);
  ASSERT_EQ(config->servers.size(), 3u);
  EXPECT_EQ(config->servers[0], (ServerSpec{ServerApi::ollama, "http://127.0.0.1:11434", "qwen2.5:7b", {}, "", std::nullopt}));
  EXPECT_EQ(config->servers[1], (ServerSpec{ServerApi::openai, "http://127.0.0.1:8080/v1", "m", {}, "k", 30}));
  EXPECT_EQ(config->servers[2],
            (ServerSpec{ServerApi::libretranslate, "http://localhost:5000", "", {{"en", "zh-Hans"}}, "", kMinTimeoutSeconds}));
  const std::vector<std::string> want = {
      "servers 第 4 项：翻译服务地址 http://192.168.1.20:11434 不在本机：只能使用 127.0.0.1、::1 或 localhost，邮件内容不会发往别处，没有使用",
      "servers 第 5 项的 api 应为 ollama、openai 或 libretranslate，没有使用",
      "servers 第 6 项（Ollama）缺少 model，没有使用",
      "servers 第 7 项缺少 url，没有使用",
      "servers 第 8 项不是对象，没有使用",
  };
  EXPECT_EQ(config->serverRefusals, want);
}

TEST(ServerWire, AnswersAreReadTolerantly) {
  EXPECT_EQ(ServerWire::errorText(R"({"error": "model \"x\" not found, try pulling it first"})"),
            "model \"x\" not found, try pulling it first");
  EXPECT_EQ(ServerWire::errorText(R"({"error": {"message": "bad\nthing", "type": "x"}})"), "bad thing");
  EXPECT_EQ(ServerWire::errorText("Internal Server Error"), "Internal Server Error");
  EXPECT_EQ(ServerWire::errorText("<html><body>502</body></html>"), "");
  EXPECT_LE(ServerWire::errorText(std::string(5000, 'x')).size(), 310u);

  EXPECT_EQ(ServerWire::ollamaModels(R"({"models": [{"name": "a"}, {"size": 1}, {"name": "b"}]})"),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ServerWire::ollamaModels(R"({"data": []})"), std::nullopt);
  EXPECT_EQ(ServerWire::openaiModels(R"({"data": [{"id": "m"}]})"), (std::vector<std::string>{"m"}));

  // A streamed Ollama answer is joined; a plain one read as it is.
  EXPECT_EQ(ServerWire::ollamaContent("{\"message\":{\"content\":\"[\\\"a\"}}\n{\"message\":{\"content\":\"\\\"]\"},\"done\":true}\n"),
            "[\"a\"]");
  EXPECT_EQ(ServerWire::ollamaContent(R"({"message": {"role": "assistant", "content": "x"}, "done": true})"), "x");
  EXPECT_EQ(ServerWire::ollamaContent(R"({"error": "boom"})"), std::nullopt);
  EXPECT_EQ(ServerWire::openaiContent(R"({"choices": [{"message": {"content": "y"}}]})"), "y");
  EXPECT_EQ(ServerWire::openaiContent(R"({"choices": []})"), std::nullopt);
  EXPECT_EQ(ServerWire::libreAnswer(R"({"translatedText": ["a", "b"]})"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ServerWire::libreAnswer(R"({"translatedText": "a"})"), std::nullopt);
}

TEST(ServerWire, LibreTranslateCodesMapBothWays) {
  struct Case { const char* ours; bool old; const char* theirs; };
  const Case kCases[] = {
      {"zh-Hans", false, "zh-Hans"}, {"zh-Hans", true, "zh"},  {"zh-Hant", true, "zt"},
      {"zh-Hant-TW", false, "zh-Hant"}, {"es-MX", false, "es"}, {"en", true, "en"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.ours);
    EXPECT_EQ(ServerWire::toLibreCode(c.ours, c.old), c.theirs);
  }
  EXPECT_EQ(ServerWire::fromLibreCode("zh"), "zh-Hans");
  EXPECT_EQ(ServerWire::fromLibreCode("zt"), "zh-Hant");
  EXPECT_EQ(ServerWire::fromLibreCode("zh-Hant"), "zh-Hant");
}

TEST(ServerSurvey, EachKindOfServerSaysWhatItServes) {
  StandInServer::Options ollamaOptions, openaiOptions, oldOptions;
  ollamaOptions.models = {"qwen2.5:7b", "llama3.2"};
  openaiOptions.models = {"qwen2.5-7b-instruct"};
  openaiOptions.apiKey = "secret";
  oldOptions.oldChineseCodes = true;
  StandInServer ollama(StandInServer::Api::ollama, ollamaOptions);
  StandInServer openai(StandInServer::Api::openai, openaiOptions);
  StandInServer libreNew(StandInServer::Api::libretranslate);
  StandInServer libreOld(StandInServer::Api::libretranslate, oldOptions);

  const ServerSurvey tags = surveyServer(ServerApi::ollama, ollama.url(), "", 30s);
  EXPECT_TRUE(tags.reachable);
  EXPECT_EQ(tags.models, (std::vector<std::string>{"qwen2.5:7b", "llama3.2"}));
  EXPECT_EQ(tags.error, std::nullopt);

  EXPECT_EQ(surveyServer(ServerApi::openai, openai.url(), "secret", 30s).models,
            (std::vector<std::string>{"qwen2.5-7b-instruct"}));
  const ServerSurvey denied = surveyServer(ServerApi::openai, openai.url(), "wrong", 30s);
  EXPECT_TRUE(denied.reachable);
  EXPECT_EQ(denied.error, "OpenAI 兼容服务（127.0.0.1:" + std::to_string(openai.port()) +
                              "）报告错误：Invalid API key");

  // Both ways of writing Chinese give the same pairs in our codes.
  const ServerSurvey fresh = surveyServer(ServerApi::libretranslate, libreNew.url(), "", 30s);
  const ServerSurvey old = surveyServer(ServerApi::libretranslate, libreOld.url(), "", 30s);
  EXPECT_EQ(fresh.pairs, old.pairs);
  const std::pair<std::string, std::string> enHant{"en", "zh-Hant"}, deHans{"de", "zh-Hans"};
  EXPECT_NE(std::find(old.pairs.begin(), old.pairs.end(), enHant), old.pairs.end());
  EXPECT_NE(std::find(old.pairs.begin(), old.pairs.end(), deHans), old.pairs.end());
}

TEST(ServerSurvey, AServerThatIsNotRunningIsNamed) {
  int port = 0;
  {
    StandInServer gone(StandInServer::Api::ollama);
    port = gone.port();
  }
  const ServerSurvey survey =
      surveyServer(ServerApi::ollama, "http://127.0.0.1:" + std::to_string(port), "", 30s);
  EXPECT_FALSE(survey.reachable);
  EXPECT_EQ(survey.error, "无法连接本机的 Ollama（127.0.0.1:" + std::to_string(port) + "）：它没有在运行");
}

}  // namespace
}  // namespace qy::platform
