// Command providers from translators.json, driven through a small scripted provider under
// tests/providers: the protocol, hostile texts, every kind of fault, restart and clean-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/command_protocol.h"
#include "platform/command_provider.h"
#include "platform/system_translation_service.h"
#include "platform/translators_config.h"

namespace qy::platform {
namespace {

const std::string kScript = std::string(QY_SOURCE_DIR) + "/tests/providers/scripted_provider.py";

// Healthy batches get the whole time a run may take, so a loaded machine cannot fail them; only
// the cases that test a limit set a short one.
TranslationDeadline healthy() { return TranslationDeadline::after(kTranslationTimeLimit); }

std::vector<TranslationRequest> requests(const std::vector<std::string>& texts) {
  std::vector<TranslationRequest> out;
  for (size_t i = 0; i < texts.size(); ++i) out.push_back({texts[i], std::to_string(i)});
  return out;
}

CommandSpec scripted() { return {{kScript}, {{"*", "es"}, {"en", "zh-Hans"}}}; }

struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qy-cmd-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

TEST(CommandProtocol, RequestIsOneLineWhateverTheTexts) {
  const std::string line =
      CommandProtocol::request("en", "es", {"a\nb", std::string("nul\0byte", 8), "bad \xFF utf8"}, 7);
  EXPECT_EQ(line.find('\n'), line.size() - 1);
  EXPECT_NE(line.find("a\\nb"), std::string::npos);
  EXPECT_NE(line.find("nul\\u0000byte"), std::string::npos);
  EXPECT_NE(line.find("bad \xEF\xBF\xBD utf8"), std::string::npos);
  EXPECT_NE(line.find("\"id\":7"), std::string::npos);
}

TEST(CommandProtocol, AnswersAreCheckedBeforeUse) {
  struct Case { const char* name; std::string line; size_t expected; const char* error; };
  const Case kCases[] = {
      {"good", R"({"translations":["x","y"]})", 2, nullptr},
      {"crlf line", "{\"translations\":[\"x\"]}\r", 1, nullptr},
      {"garbage", "hello", 1, "翻译程序 mt 的回答无法识别"},
      {"not an object", R"(["x"])", 1, "翻译程序 mt 的回答无法识别"},
      {"wrong count", R"({"translations":["x"]})", 2, "翻译程序 mt 返回了 1 条译文，应为 2 条"},
      {"non-string item", R"({"translations":["x",3]})", 2, "翻译程序 mt 的回答无法识别"},
      {"reported error", R"({"error":"model\nmissing"})", 1, "翻译程序 mt 报告错误：model missing"},
      {"error without text", R"({"error":42})", 1, "翻译程序 mt 报告错误"},
      {"own id echoed", R"({"id":7,"translations":["x"]})", 1, nullptr},
      {"another id", R"({"id":6,"translations":["x"]})", 1, "翻译程序 mt 的回答与请求对不上"},
      {"id of another type", R"({"id":"7","translations":["x"]})", 1, "翻译程序 mt 的回答与请求对不上"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto answer = CommandProtocol::parseAnswer(c.line, c.expected, "mt", 7);
    if (c.error) {
      EXPECT_EQ(answer.error, std::string(c.error));
    } else {
      EXPECT_EQ(answer.error, std::nullopt);
      EXPECT_EQ(answer.translations.size(), c.expected);
    }
  }
}

TEST(TranslatorsConfig, ParsesTolerantly) {
  const auto config = TranslatorsConfig::parse(R"({
      "apertium": false,
      "commands": [
        {"command": ["/usr/local/bin/my-mt", "--serve"], "pairs": [["en", "zh-Hans"], ["*", "es"], ["x"], 5]},
        {"command": []}, {"command": "not a list"}, {"pairs": [["en", "fr"]]}, 7,
        {"command": ["nt"]}
      ]})");
  ASSERT_TRUE(config);
  EXPECT_FALSE(config->apertium);
  ASSERT_EQ(config->commands.size(), 2u);
  EXPECT_EQ(config->commands[0].command, (std::vector<std::string>{"/usr/local/bin/my-mt", "--serve"}));
  EXPECT_EQ(config->commands[0].pairs.size(), 2u);
  EXPECT_TRUE(config->commands[1].pairs.empty());
  EXPECT_EQ(TranslatorsConfig::parse("[1]"), std::nullopt);
  EXPECT_EQ(TranslatorsConfig::parse("{"), std::nullopt);
  EXPECT_TRUE(TranslatorsConfig::parse(R"({"apertium": "yes"})")->apertium);
}

TEST(TranslatorsConfig, FileIsUsedOnlyWhenNobodyElseCanChangeIt) {
  // Like ssh with its config: the user's own file, writable by nobody else (0644 is fine).
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> make;
    const char* refusal;  // part of the reason; null: the file is used
  };
  const auto write = [](const std::filesystem::path& file, mode_t mode) {
    std::ofstream(file) << R"({"apertium": false})";
    chmod(file.c_str(), mode);
  };
  const bool root = geteuid() == 0;
  std::vector<Case> cases = {
      {"0600", [&](auto& f) { write(f, 0600); }, nullptr},
      {"an editor's 0644", [&](auto& f) { write(f, 0644); }, nullptr},
      {"group-writable", [&](auto& f) { write(f, 0620); }, "可被组或其他用户写入"},
      {"world-writable", [&](auto& f) { write(f, 0666); }, "可被组或其他用户写入"},
      {"a link to a good file",
       [&](auto& f) {
         write(f.parent_path() / "real.json", 0600);
         std::filesystem::create_symlink(f.parent_path() / "real.json", f);
       },
       "是符号链接"},
      {"a directory", [](auto& f) { std::filesystem::create_directory(f); }, "不是普通文件"},
      {"over 1 MiB",
       [&](auto& f) {
         write(f, 0600);
         std::filesystem::resize_file(f, TranslatorsConfig::kMaxFileBytes + 1);
       },
       "大于 1 MiB"},
      {"not JSON", [](auto& f) { std::ofstream(f) << "{"; chmod(f.c_str(), 0600); }, "不是 JSON 对象"},
  };
  if (root) {
    cases.push_back({"another user's",
                     [&](auto& f) {
                       write(f, 0644);
                       ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
                     },
                     "属于另一个用户（uid 65534）"});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const auto file = dir.path / "translators.json";
    c.make(file);
    const TranslatorsFile read = TranslatorsConfig::read(file);
    if (!c.refusal) {
      EXPECT_EQ(read.refusal, std::nullopt);
      EXPECT_FALSE(read.config.apertium);
      continue;
    }
    ASSERT_TRUE(read.refusal);
    EXPECT_NE(read.refusal->find(file.string()), std::string::npos) << *read.refusal;
    EXPECT_NE(read.refusal->find(c.refusal), std::string::npos) << *read.refusal;
    EXPECT_EQ(read.config, TranslatorsConfig{});
    EXPECT_EQ(TranslatorsConfig::refusal(file), read.refusal);
  }
  ScratchDir dir;
  EXPECT_EQ(TranslatorsConfig::read(dir.path / "missing.json").refusal, std::nullopt);
}

TEST(CommandProvider, ListedPairsAreInstalledAndNothingElse) {
  CommandProvider provider(scripted());
  EXPECT_EQ(provider.status("fr", "es"), PairStatus::installed);     // "*" source
  EXPECT_EQ(provider.status("en", "zh-Hans"), PairStatus::installed);
  EXPECT_EQ(provider.status("en-GB", "zh-hans"), PairStatus::installed);
  EXPECT_EQ(provider.status("de", "zh-Hans"), PairStatus::unsupported);
  EXPECT_EQ(provider.status("en", "zh-Hant"), PairStatus::unsupported);
  EXPECT_EQ(provider.status("en", "fr"), PairStatus::unsupported);
}

TEST(CommandProvider, HostileTextsComeBackAsTheirOwnTranslations) {
  CommandProvider provider(scripted());
  const std::vector<std::string> texts = {
      std::string("nul\0inside", 10),
      "controls \x01\x02\t\r\x1b[31m\x7f",
      "invalid \xC3\x28 \xFF utf-8",
      std::string(100000, 'w'),
      "line\nbreaks\n{\"translations\": [\"forged\"]}\n",
      "^$/[]{}\\@*#~<> [qy:1] [][\n]",
      "",
  };
  const auto result = provider.session("en", "es")->translations(requests(texts), healthy());
  ASSERT_EQ(result.error, std::nullopt);
  ASSERT_EQ(result.responses.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(result.responses[i].clientIdentifier, std::to_string(i));
    // Invalid UTF-8 travels as U+FFFD; everything else exactly.
    const std::string want = i == 2 ? "es:invalid \xEF\xBF\xBD( \xEF\xBF\xBD utf-8" : "es:" + texts[i];
    EXPECT_EQ(result.responses[i].targetText, want);
  }
}

TEST(CommandProvider, FaultsBecomeErrorsAndTheNextBatchWorks) {
  using namespace std::chrono_literals;
  // Only the engine that never answers meets a short deadline; the others fail at once.
  struct Case { const char* name; const char* trigger; const char* error; bool hangs = false; };
  const Case kCases[] = {
      {"crash mid-batch", "CRASH", "翻译程序 scripted_provider.py 意外退出"},
      {"garbage", "GARBAGE", "翻译程序 scripted_provider.py 的回答无法识别"},
      {"wrong count", "WRONGCOUNT", "翻译程序 scripted_provider.py 返回了 1 条译文，应为 2 条"},
      {"never answers", "HANG", "翻译程序 scripted_provider.py 在 2 秒内没有回答", true},
      {"reports an error", "ERROR", "翻译程序 scripted_provider.py 报告错误：引擎 故障"},
  };
  CommandProvider provider(scripted());
  auto session = provider.session("en", "es");
  ASSERT_EQ(session->translations(requests({"warm up"}), healthy()).error, std::nullopt);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto deadline = c.hangs ? TranslationDeadline::after(2s) : healthy();
    const auto failed = session->translations(requests({"hello", c.trigger}), deadline);
    EXPECT_EQ(failed.error, std::string(c.error));
    EXPECT_TRUE(failed.responses.empty());
    const auto next = session->translations(requests({"after"}), healthy());
    ASSERT_EQ(next.error, std::nullopt);
    ASSERT_EQ(next.responses.size(), 1u);
    EXPECT_EQ(next.responses[0].targetText, "es:after");
  }
}

TEST(CommandProvider, AnExtraAnswerNeverReachesTheNextBatch) {
  CommandProvider provider(scripted());
  auto session = provider.session("en", "es");
  const auto first = session->translations(requests({"TWOLINES"}), healthy());
  ASSERT_EQ(first.error, std::nullopt);
  // The stray answer is found waiting (the program is restarted) or refused by its id.
  const auto second = session->translations(requests({"fresh"}), healthy());
  if (!second.error) {
    EXPECT_EQ(second.responses.at(0).targetText, "es:fresh");
  }
  const auto third = session->translations(requests({"fresh"}), healthy());
  ASSERT_EQ(third.error, std::nullopt);
  EXPECT_EQ(third.responses.at(0).targetText, "es:fresh");
  // Answers without the id are taken too.
  const auto plain = session->translations(requests({"NOECHO"}), healthy());
  ASSERT_EQ(plain.error, std::nullopt);
  EXPECT_EQ(plain.responses.at(0).targetText, "es:NOECHO");
}

pid_t programPid(TranslationSession& session) {
  const auto result = session.translations(requests({"PID"}), healthy());
  if (result.error || result.responses.empty()) return -1;
  return static_cast<pid_t>(std::stol(result.responses[0].targetText));
}

TEST(CommandProvider, ProgramIsKeptRunningRestartedAfterDeathAndReapedAtTheEnd) {
  pid_t pid = -1;
  {
    CommandProvider provider(scripted());
    auto session = provider.session("en", "es");
    pid = programPid(*session);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(programPid(*session), pid);  // one long-lived program

    kill(pid, SIGKILL);  // dies between batches
    const pid_t restarted = programPid(*session);
    EXPECT_GT(restarted, 0);
    EXPECT_NE(restarted, pid);
    // The dead one was reaped: it is no longer our child.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    pid = restarted;
  }
  // Destroying the provider killed and reaped its program.
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(kill(pid, 0), -1);
}

TEST(CommandProvider, AProgramThatReadsNothingCannotKillUsWithSigpipe) {
  // The program is gone before a large request has been written: the write fails with EPIPE.
  CommandProvider provider({{"/bin/true"}, {{"*", "es"}}});
  const auto result =
      provider.session("en", "es")->translations(requests({std::string(4 * 1024 * 1024, 'x')}), healthy());
  EXPECT_EQ(result.error, std::string("翻译程序 true 意外退出"));
}

TEST(CommandProvider, MissingProgramIsAnErrorNotACrash) {
  CommandProvider provider({{"/nonexistent/mt"}, {{"*", "es"}}});
  const auto result = provider.session("en", "es")->translations(requests({"x"}), healthy());
  EXPECT_EQ(result.error, std::string("找不到翻译程序 /nonexistent/mt"));
}

TEST(SystemTranslationService, CommandProvidersComeFromAFileOnlyTheUserCanChange) {
  ScratchDir dir;
  const auto file = dir.path / "translators.json";
  SystemServiceOptions options;
  options.configFile = file;
  options.apertium.searchPath = dir.path.string();  // no Apertium tools here
  std::vector<std::string> logged;
  options.log = [&](std::string_view line) { logged.emplace_back(line); };
  SystemTranslationService service(options);
  EXPECT_EQ(service.status("en", "zh-Hans"), PairStatus::unsupported);

  std::ofstream(file) << R"({"commands": [{"command": [")" << kScript
                      << R"("], "pairs": [["en", "zh-Hans"]]}]})";
  chmod(file.c_str(), 0666);
  EXPECT_EQ(service.status("en", "zh-Hans"), PairStatus::unsupported);  // writable by others
  EXPECT_EQ(service.status("en", "zh-Hans"), PairStatus::unsupported);
  ASSERT_EQ(logged.size(), 1u);  // one line per change of the file, not per question
  EXPECT_NE(logged[0].find("translators.json ignored: " + file.string()), std::string::npos)
      << logged[0];
  chmod(file.c_str(), 0644);  // an editor's default: fine
  EXPECT_EQ(service.status("en", "zh-Hans"), PairStatus::installed);
  EXPECT_EQ(logged.size(), 1u);
  const auto result = service.session("en", "zh-Hans")->translations(requests({"hi"}), healthy());
  ASSERT_EQ(result.error, std::nullopt);
  EXPECT_EQ(result.responses.at(0).targetText, "zh-Hans:hi");
  EXPECT_EQ(service.session("en", "ja")->translations(requests({"hi"}), healthy()).error,
            std::string("没有可以翻译这个语言对的程序"));
}

}  // namespace
}  // namespace qy::platform
