// The settings model's engines section: the list of what translates now, the search for local
// servers at injected addresses (a stand-in answering Ollama's model listing on a free loopback
// port), a typed address that is not this machine, and choosing a server, which writes
// translators.json and runs the test translation. The page's requests of this section, too.
#include <gtest/gtest.h>

#include <httplib.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "app/settings_api.h"
#include "app/settings_model.h"
#include "support/scripted_translation_service.h"
#include "support/stand_in_server.h"
#include "support/temp_dir.h"

namespace qy::app {
namespace {

using platform::ServerApi;
using testing::readFile;
using testing::ScriptedTranslationService;
using testing::StandInServer;
using testing::TempDir;
using testing::writeFile;

// A loopback port nobody listens on (bound, then closed).
int closedPort() {
  httplib::Server probe;
  const int port = probe.bind_to_any_port("127.0.0.1");
  probe.stop();
  return port;
}

struct Fixture {
  TempDir root;
  std::shared_ptr<ScriptedTranslationService> service =
      std::make_shared<ScriptedTranslationService>();

  Fixture() {
    std::filesystem::create_directories(root / "modes");
    std::filesystem::create_directories(root / "bin");
    for (const char* tool : {"apertium", "apertium-wblank-mode"}) {
      writeFile(root / "bin" / tool, "#!/bin/sh\n");
      chmod((root / "bin" / tool).c_str(), 0700);
    }
    writeFile(root / "modes" / "eng-spa.mode", "");
    std::filesystem::create_directories(root / "store");
    chmod((root / "store").c_str(), 0700);
  }

  std::filesystem::path translators() const { return root / "store" / "translators.json"; }

  std::unique_ptr<SettingsModel> model(std::vector<ProbeTarget> targets = {}) {
    SettingsModelOptions options;
    options.root = root / "store";
    options.service = service;
    options.systemctl = "/bin/false";
    options.log = [](const std::string&) {};
    options.survey.modesDirectory = root / "modes";
    options.survey.searchPath = (root / "bin").string();
    options.probeTargets = std::move(targets);
    auto made = std::make_unique<SettingsModel>(std::move(options));
    made->waitIdle();
    return made;
  }
};

std::vector<std::string> rowTexts(const SettingsState& state) {
  std::vector<std::string> out;
  for (const EngineRow& row : state.engines)
    out.push_back((row.usable ? "+ " : "- ") + row.name + ": " + row.detail);
  return out;
}

TEST(SettingsEngines, ListsApertiumEachCommandAndEachServerAndWhatIsNotUsed) {
  Fixture f;
  writeFile(f.translators(), R"({"commands": [
      {"command": ["/opt/mt"], "pairs": [["*", "zh-Hans"], ["en", "ja"]]},
      {"command": ["/opt/empty"]}],
    "servers": [
      {"api": "ollama", "url": "http://127.0.0.1:11434", "model": "qwen2.5:7b"},
      {"api": "libretranslate", "url": "http://localhost:5000", "pairs": [["en", "de"]]},
      {"api": "openai", "url": "http://192.0.2.7:8080/v1", "model": "m"}]})");
  auto model = f.model();
  const std::vector<std::string> want = {
      "+ Apertium: 英语 → 西班牙语",
      "+ /opt/mt: 任意语言 → 简体中文、英语 → 日语",
      "- /opt/empty: 没有列出语言对",
      "+ Ollama（127.0.0.1:11434）: 模型 qwen2.5:7b：所有语言",
      "+ LibreTranslate（localhost:5000）: 英语 → 德语",
      "- translators.json: servers 第 3 项：" + *platform::loopbackRefusal("http://192.0.2.7:8080/v1") +
          "，没有使用",
  };
  EXPECT_EQ(rowTexts(model->snapshot()), want);

  // A file the providers refuse is named with its reason; Apertium turned off says so.
  writeFile(f.translators(), R"({"apertium": false})");
  chmod(f.translators().c_str(), 0666);
  model->refreshEngines();
  model->waitIdle();
  ASSERT_EQ(model->snapshot().engines.size(), 2u);
  EXPECT_EQ(model->snapshot().engines[0].name, "translators.json");
  EXPECT_NE(model->snapshot().engines[0].detail.find("可被组或其他用户写入"), std::string::npos);
  chmod(f.translators().c_str(), 0600);
  model->refreshEngines();
  model->waitIdle();
  EXPECT_EQ(rowTexts(model->snapshot()),
            std::vector<std::string>{"- Apertium: 没有使用：translators.json 里写了 \"apertium\": false"});
}

TEST(SettingsEngines, PreferringTheServerIsOnExactlyWhenApertiumCannotTranslateIntoTheTarget) {
  Fixture f;
  auto model = f.model();
  EXPECT_TRUE(model->snapshot().preferServer) << "no Apertium pair into Chinese";
  model->edit([](Config& cfg) { cfg.targetLanguage = "es"; });
  model->waitIdle();
  EXPECT_FALSE(model->snapshot().preferServer) << "Apertium has en → es";
  // Once the user has said, the target no longer decides.
  model->setPreferServer(true);
  model->edit([](Config& cfg) { cfg.targetLanguage = "fr"; });
  model->edit([](Config& cfg) { cfg.targetLanguage = "es"; });
  model->waitIdle();
  EXPECT_TRUE(model->snapshot().preferServer);
}

TEST(SettingsEngines, FindsTheServersAtTheAddressesInTheirOrder) {
  Fixture f;
  StandInServer::Options two, none;
  two.models = {"qwen2.5:7b", "llama3.2"};
  none.models = {};
  StandInServer ollama(StandInServer::Api::ollama, two);
  StandInServer empty(StandInServer::Api::ollama, none);
  const std::string closed = "http://127.0.0.1:" + std::to_string(closedPort());
  auto model = f.model({{ServerApi::openai, closed + "/v1", "llama.cpp"},
                        {ServerApi::ollama, ollama.url(), "Ollama"},
                        {ServerApi::ollama, empty.url(), "Ollama"}});
  model->findServers();
  model->waitIdle();
  const SettingsState state = model->snapshot();
  EXPECT_FALSE(state.probing);
  EXPECT_EQ(state.probeStatus, "找到 2 个本机翻译服务，选一个来用：");
  ASSERT_EQ(state.found.size(), 2u);
  EXPECT_EQ(state.found[0].title, "Ollama（" + ollama.url().substr(7) + "）");
  EXPECT_EQ(state.found[0].models, (std::vector<std::string>{"qwen2.5:7b", "llama3.2"}));
  EXPECT_TRUE(state.found[0].choosable);
  EXPECT_EQ(state.found[1].detail, "还没有模型：先运行 ollama pull qwen2.5:7b");
  EXPECT_FALSE(state.found[1].choosable);

  // A typed address that is not this machine is refused at once: nothing is asked.
  model->findServers("http://192.0.2.7:11434");
  EXPECT_FALSE(model->snapshot().probing);
  EXPECT_EQ(model->snapshot().probeStatus, *platform::loopbackRefusal("http://192.0.2.7:11434"));
  EXPECT_TRUE(model->snapshot().found.empty());
  // A typed loopback address without a scheme is asked, at every API.
  model->findServers(ollama.url().substr(7));
  model->waitIdle();
  ASSERT_EQ(model->snapshot().found.size(), 1u);
  EXPECT_EQ(model->snapshot().found[0].url, ollama.url());
}

TEST(SettingsEngines, ChoosingAServerWritesItFirstAndTestsTheTranslationThroughIt) {
  Fixture f;
  f.service->setStatus("en", PairStatus::installed);
  writeFile(f.translators(), R"({"commands": [{"command": ["/opt/mt"], "pairs": [["en", "ja"]]}]})");
  chmod(f.translators().c_str(), 0600);
  auto model = f.model();
  model->chooseServer(ServerApi::ollama, "http://127.0.0.1:11434", "qwen2.5:7b");
  model->waitIdle();
  const nlohmann::json written = nlohmann::json::parse(readFile(f.translators()));
  EXPECT_EQ(written["commands"].size(), 1u);
  EXPECT_EQ(written["servers"][0],
            nlohmann::json({{"api", "ollama"}, {"url", "http://127.0.0.1:11434"}, {"model", "qwen2.5:7b"}}));
  EXPECT_EQ(written["apertium"], false) << "Apertium has no pair into Chinese";
  const SettingsState state = model->snapshot();
  EXPECT_EQ(state.engineMessage,
            "已写入 translators.json：所有语言都用 Ollama（127.0.0.1:11434）的 qwen2.5:7b 翻译。\n" +
                state.testResult);
  EXPECT_TRUE(state.testResult.starts_with("✓ ")) << state.testResult;

  // Not this machine, or no model for a chat server: nothing is written.
  const std::string before = readFile(f.translators());
  model->chooseServer(ServerApi::openai, "http://192.0.2.7:8080/v1", "m");
  model->waitIdle();
  EXPECT_TRUE(model->snapshot().engineMessage.starts_with("没有写入 translators.json：")) << model->snapshot().engineMessage;
  model->chooseServer(ServerApi::ollama, "http://127.0.0.1:11434", "");
  model->waitIdle();
  EXPECT_EQ(model->snapshot().engineMessage, "没有写入 translators.json：先选一个模型");
  EXPECT_EQ(readFile(f.translators()), before);
}

TEST(SettingsEngines, RequestsOfTheWrongShapeChangeNothing) {
  Fixture f;
  auto model = f.model();
  const std::pair<const char*, nlohmann::json> kCases[] = {
      {"find", {{"address", 5}}},
      {"choose", {{"api", "deepl"}, {"url", "http://127.0.0.1:1"}}},
      {"choose", {{"api", "ollama"}}},
      {"prefer", {{"on", "yes"}}},
      {"nothing", nlohmann::json::object()},
      {"find", nlohmann::json::array()},
  };
  for (const auto& [name, body] : kCases) {
    SCOPED_TRACE(std::string(name) + " " + body.dump());
    EXPECT_TRUE(applyEngineRequest(*model, name, body));
  }
  model->waitIdle();
  EXPECT_FALSE(std::filesystem::exists(f.translators()));
  EXPECT_EQ(model->snapshot().probeStatus, "");
}

}  // namespace
}  // namespace qy::app
