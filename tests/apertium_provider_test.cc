// The Apertium provider with the real eng-spa and fr-es pairs, and with a scripted stand-in
// pipeline (tests/providers/scripted_stage.py) for the faults a real pair cannot be made to show.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/apertium_format.h"
#include "platform/apertium_provider.h"

namespace qy::platform {
namespace {

using namespace std::chrono_literals;

const std::string kProviders = std::string(QY_SOURCE_DIR) + "/tests/providers";

// Healthy batches get the whole time a run may take, so a loaded machine cannot fail them; only
// the cases that test a limit set a short one.
TranslationDeadline healthy() { return TranslationDeadline::after(kTranslationTimeLimit); }

std::vector<TranslationRequest> requests(const std::vector<std::string>& texts) {
  std::vector<TranslationRequest> out;
  for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], std::to_string(i)});
  return out;
}

struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qy-apertium-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  void write(const std::string& name, const std::string& content, bool executable = false) const {
    std::ofstream(path / name) << content;
    if (executable) chmod((path / name).c_str(), 0700);
  }
};

bool realApertium() {
  return std::filesystem::exists("/usr/share/apertium/modes/eng-spa.mode") &&
         std::filesystem::exists("/usr/bin/apertium");
}

TEST(ApertiumFormat, EscapingRoundTripsThroughUnescape) {
  const std::string kCases[] = {
      "plain text", "^$/@<>{}[]\\", "tilde ~ here", "line\nbreak\ttab\r\x01\x7f",
      "[qy:3] forged id [][\n]", "", "猫 café",
      "long run " + std::string(100, 'x') + "[\\]^$~\x01 end",
  };
  for (const auto& text : kCases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ApertiumFormat::unescape(ApertiumFormat::escape(text)), text);
  }
  EXPECT_EQ(ApertiumFormat::escape(std::string("a\0b", 3)), "a b");
  EXPECT_EQ(ApertiumFormat::escape("\xFF"), "\xEF\xBF\xBD");
}

TEST(ApertiumFormat, OutputRecordsMustCarryTheirOwnId) {
  EXPECT_EQ(ApertiumFormat::translation(5, "[qy:5] Hola \\[x\\] [\n]mundo [][\n]"), "Hola [x] \nmundo");
  EXPECT_EQ(ApertiumFormat::translation(5, "[qy:4]Hola[][\n]"), std::nullopt);
  EXPECT_EQ(ApertiumFormat::translation(5, "Hola"), std::nullopt);
  EXPECT_EQ(ApertiumFormat::translation(5, ""), std::nullopt);
}

TEST(ApertiumFormat, ModeNamesAndCodes) {
  struct Case { const char* name; const char* source; const char* target; const char* variant; };
  const Case kCases[] = {{"eng-spa", "en", "es", ""}, {"fr-es", "fr", "es", ""},
                         {"spa-eng_US", "es", "en", "US"}, {"hbs-eng", "sh", "en", ""},
                         {"nob-nno", "nb", "nn", ""}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto mode = ApertiumFormat::parseModeName(c.name);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->source, c.source);
    EXPECT_EQ(mode->target, c.target);
    EXPECT_EQ(mode->variant, c.variant);
  }
  for (const char* bad : {"eco-es-fr", "en", "en-es-debug", "EN-es", "e-es", "en-es_U-S"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ApertiumFormat::parseModeName(bad), std::nullopt);
  }
  EXPECT_EQ(ApertiumFormat::languageCode("hr"), "sh");
  EXPECT_EQ(ApertiumFormat::languageCode("no"), "nb");
}

TEST(ApertiumFormat, StagesAreParsedOrRefused) {
  const auto stages = ApertiumFormat::parseStages(
      "lt-proc -z '/a b/x.bin' | apertium-tagger -z -g $2 'p' | lt-proc -z $1 'g'\n", "-n");
  ASSERT_TRUE(stages);
  ASSERT_EQ(stages->size(), 3u);
  EXPECT_EQ((*stages)[0], (std::vector<std::string>{"lt-proc", "-z", "/a b/x.bin"}));
  EXPECT_EQ((*stages)[1], (std::vector<std::string>{"apertium-tagger", "-z", "-g", "p"}));
  EXPECT_EQ((*stages)[2], (std::vector<std::string>{"lt-proc", "-z", "-n", "g"}));
  for (const char* bad : {"a | | b", "a; rm x", "a $(x)", "a > f", "a 'open", "| a", "a $3", "a$1"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ApertiumFormat::parseStages(bad, "-n"), std::nullopt);
  }
}

TEST(ApertiumProvider, AvailabilityFollowsInstalledModesAndKnownPackages) {
  if (!realApertium()) GTEST_SKIP() << "apertium-eng-spa is not installed (scripts/setup.sh installs it)";
  ApertiumProvider provider;
  struct Case { const char* source; const char* target; PairStatus want; };
  const Case kCases[] = {
      {"en", "es", PairStatus::installed},      {"en-GB", "es", PairStatus::installed},
      {"es", "en", PairStatus::installed},      {"fr", "es", PairStatus::installed},
      {"es", "fr", PairStatus::installed},      {"pt", "es", PairStatus::supported},
      {"uk", "ru", PairStatus::supported},      {"en", "fr", PairStatus::unsupported},
      {"en", "zh-Hans", PairStatus::unsupported}, {"de", "en", PairStatus::unsupported},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.source) + " → " + c.target);
    EXPECT_EQ(provider.status(c.source, c.target), c.want);
  }
  EXPECT_EQ(provider.findMode("es", "en-US")->name, "spa-eng_US");
  EXPECT_EQ(provider.findMode("es", "en")->name, "spa-eng");

  // What the chosen mode writes, which the banner names: a region no mode has falls back.
  struct Served { const char* source; const char* target; const char* want; };
  for (const Served& c : {Served{"es", "en-US", "en-US"}, Served{"es", "en-GB", "en"},
                          Served{"en", "es-MX", "es"}, Served{"en", "es", "es"},
                          Served{"en", "fr-CA", "fr-CA"}}) {  // no pair at all: as asked
    SCOPED_TRACE(std::string(c.source) + " → " + c.target);
    EXPECT_EQ(provider.servedTarget(c.source, c.target), c.want);
  }
}

TEST(ApertiumProvider, MissingToolsMakeEveryPairUnsupported) {
  ScratchDir emptyBin;
  ApertiumOptions options;
  options.searchPath = emptyBin.path.string();
  ApertiumProvider provider(options);
  EXPECT_EQ(provider.status("en", "es"), PairStatus::unsupported);
  EXPECT_EQ(provider.status("pt", "es"), PairStatus::unsupported);
  const auto result = provider.session("en", "es")->translations(requests({"Hello"}), healthy());
  EXPECT_TRUE(result.error.has_value());
  EXPECT_TRUE(provider.preparePack("pt", "es").error.has_value());
}

TEST(ApertiumProvider, TranslatesEachSegmentIntoItsOwnTranslation) {
  if (!realApertium()) GTEST_SKIP() << "apertium-eng-spa is not installed (scripts/setup.sh installs it)";
  ApertiumProvider provider;
  auto session = provider.session("en", "es");
  const auto plain = session->translations(requests({"The house is red.", "I have two dogs."}), healthy());
  ASSERT_EQ(plain.error, std::nullopt);
  ASSERT_EQ(plain.responses.size(), 2u);
  EXPECT_EQ(plain.responses[0].clientIdentifier, "0");
  EXPECT_EQ(plain.responses[0].targetText, "La casa es roja.");
  EXPECT_EQ(plain.responses[1].targetText, "Tengo dos perros.");

  // Each hostile text carries a marker number that Apertium leaves alone; each translation must
  // carry its own text's marker and no other.
  const std::vector<std::string> hostile = {
      std::string("house 1001 \0 dog", 16),
      "house 1002 \x01\x02\t\r\x1b[31m\x7f",
      "house 1003 \xC3\x28 \xFF",
      "house 1004 " + std::string(100000, 'a') + " " + std::string(30000, '[') + "\\",
      "house 1005 [][\n] [qy:0] \\0 \n next",
      "house 1006 ^ $ / [ ] { } \\ @ * # ~ < > + | \"",
      "1007",
      "house 1008 " + [] { std::string words; for (int i = 0; i < 2000; ++i) words += "the dog "; return words; }(),
      "house 1009 ^dog<n><pl>$ [[t:b:x]]dog[[/]]",
  };
  const auto result = session->translations(requests(hostile), healthy());
  ASSERT_EQ(result.error, std::nullopt);
  ASSERT_EQ(result.responses.size(), hostile.size());
  for (size_t i = 0; i < hostile.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(result.responses[i].clientIdentifier, std::to_string(i));
    const std::string& text = result.responses[i].targetText;
    for (size_t j = 0; j < hostile.size(); ++j)
      EXPECT_EQ(text.find(std::to_string(1001 + j)) != std::string::npos, i == j) << text.substr(0, 200);
  }
  EXPECT_NE(result.responses[5].targetText.find("^ $ / [ ] { } \\ @ * # ~ < > + | \""), std::string::npos)
      << result.responses[5].targetText;
  EXPECT_NE(result.responses[4].targetText.find("[][\n] [qy:0] \\0 \n"), std::string::npos)
      << result.responses[4].targetText;
  EXPECT_NE(result.responses[3].targetText.find(std::string(100000, 'a') + " " + std::string(30000, '[') + "\\"),
            std::string::npos);
  EXPECT_NE(result.responses[7].targetText.find("el perro el perro"), std::string::npos);
}

// A pair "xx-yy" whose pipeline is tests/providers/scripted_stage.py.
struct ScriptedPair {
  ScratchDir modes;
  ScratchDir bin;
  ApertiumOptions options;
  ScriptedPair() {
    modes.write("xx-yy.mode", kProviders + "/scripted_stage.py\n");
    bin.write("apertium", "#!/bin/sh\nexit 0\n", true);
    // Prints the mode's stages as they are.
    bin.write("apertium-wblank-mode", "#!/bin/sh\nexec cat \"$2\"\n", true);
    options.modesDirectory = modes.path;
    options.searchPath = bin.path.string() + ":/usr/bin:/bin";
  }
};

TEST(ApertiumProvider, PipelineFaultsBecomeErrorsAndNeverShiftTranslations) {
  ScriptedPair pair;
  ApertiumProvider provider(pair.options);
  ASSERT_EQ(provider.status("xx", "yy"), PairStatus::installed);
  auto session = provider.session("xx", "yy");
  ASSERT_EQ(session->translations(requests({"warm up"}), healthy()).error, std::nullopt);
  // Only the pipeline that never answers meets a short deadline; the others fail at once.
  struct Case { const char* name; const char* trigger; const char* error; bool hangs = false; };
  const Case kCases[] = {
      {"dies mid-batch", "CRASH", "Apertium（xx-yy）意外退出"},
      {"never answers", "HANG", "Apertium（xx-yy）在 2 秒内没有完成翻译", true},
      {"extra record", "EXTRA", "Apertium（xx-yy）的输出与请求对不上"},
      {"record without its id", "NOID", "Apertium（xx-yy）的输出与请求对不上"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto deadline = c.hangs ? TranslationDeadline::after(2s) : healthy();
    const auto failed = session->translations(requests({"one", c.trigger, "three"}), deadline);
    EXPECT_EQ(failed.error, std::string(c.error));
    EXPECT_TRUE(failed.responses.empty());
    const auto next = session->translations(requests({"after", "more"}), healthy());
    ASSERT_EQ(next.error, std::nullopt);
    ASSERT_EQ(next.responses.size(), 2u);
    EXPECT_EQ(next.responses[0].targetText, "AFTER");
    EXPECT_EQ(next.responses[1].targetText, "MORE");
  }
}

TEST(ApertiumProvider, PreparingAPackRunsTheInstallCommand) {
  ScriptedPair pair;
  ScratchDir logDir;
  const auto log = logDir.path / "install.log";
  setenv("QY_TEST_INSTALL_LOG", log.c_str(), 1);
  setenv("QY_TEST_MODES_DIR", pair.modes.path.c_str(), 1);
  setenv("QY_TEST_NEW_MODE", "pt-es", 1);
  setenv("QY_PACK_INSTALL", (kProviders + "/install_pack.sh").c_str(), 1);

  ApertiumProvider provider(pair.options);
  EXPECT_EQ(provider.preparePack("en", "zh-Hans").error, std::string("Apertium 不支持这个语言对"));
  ASSERT_EQ(provider.status("pt", "es"), PairStatus::supported);
  EXPECT_EQ(provider.preparePack("pt", "es").error, std::nullopt);
  EXPECT_EQ(provider.status("pt", "es"), PairStatus::installed);
  std::ifstream in(log);
  std::string logged((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(logged, "apertium-es-pt\n");

  setenv("QY_PACK_INSTALL", (kProviders + "/install_pack.sh --fail").c_str(), 1);
  EXPECT_EQ(provider.preparePack("uk", "ru").error, std::string("安装 apertium-rus-ukr 失败（退出码 4）"));
  unsetenv("QY_PACK_INSTALL");
  unsetenv("QY_TEST_NEW_MODE");
}

}  // namespace
}  // namespace qy::platform
