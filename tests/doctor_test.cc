// quillory-ext doctor: each misconfiguration that the tolerant readers hide is named in its
// output with what applies instead, the exit status says whether anything is wrong, the first
// problem comes last, and the storage directory is left as it was found.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/config/lang_names.h"
#include "extension/commands/config_check.h"
#include "support/serve_process.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

namespace fs = std::filesystem;
using testing::runProcess;
using testing::TempDir;

TEST(ConfigCheck, NamesEachKeyTheReaderPassesOver) {
  struct Case { const char* name; std::string json; std::vector<std::string> want; };
  const Case kCases[] = {
      {"all right", R"({"mode": "replace", "targetLanguage": "es", "fontScale": 120, "autoReload": false,
                        "accentColor": " #12ab34 ", "darkBackground": "navy", "firstPaintSeconds": 0})", {}},
      {"not JSON", "{\n\"mode\": \"replace\",\n}", {"config.json 不是有效的 JSON（第 3 行）：所有设置都用默认值"}},
      {"a number past a double", R"({"maxChars": 1E1111})",
       {"config.json 不是有效的 JSON（有超出范围的数字）：所有设置都用默认值"}},
      {"not an object", "[1]", {"config.json 的内容是数组，不是 JSON 对象：所有设置都用默认值"}},
      {"typo of a key", R"({"targetLanguge": "es"})",
       {"config.json：不认识的键 “targetLanguge”，读取时忽略，下次保存时删掉；是不是 “targetLanguage”？"}},
      {"unknown key", R"({"colour": 1})", {"config.json：不认识的键 “colour”，读取时忽略，下次保存时删掉"}},
      {"string for an integer", R"({"fontScale": "120"})",
       {"config.json：“fontScale” 应为整数，现在是 \"120\"（字符串）；使用默认值 100"}},
      {"fraction for an integer", R"({"maxChars": 1.5})",
       {"config.json：“maxChars” 应为整数，现在是 1.5（小数）；使用默认值 60000"}},
      {"number for a boolean", R"({"autoReload": 0})",
       {"config.json：“autoReload” 应为true 或 false，现在是 0（整数）；使用默认值 true"}},
      {"null", R"({"mode": null})", {"config.json：“mode” 应为字符串，现在是 null（null）；使用默认值 \"bilingual\""}},
      {"capitalised mode", R"({"mode": "REPLACE"})",
       {"config.json：“mode” 的值 “REPLACE” 不在 bilingual、replace、off 之中；按 “bilingual”（双语对照） 处理"}},
      {"unknown dark mode", R"({"darkMode": "dark"})",
       {"config.json：“darkMode” 的值 “dark” 不在 auto、on、off 之中；按 “off”（不改成深色） 处理"}},
      {"accent colour by name", R"({"accentColor": "red"})",
       {"config.json：“accentColor” 的值 “red” 不是 “#” 加六位十六进制数；按 “#34A77A” 处理"}},
      {"dark background no colour", R"({"darkBackground": "dusk"})",
       {"config.json：“darkBackground” 的值 “dusk” 不是 CSS 颜色；按 “#1E1E1E” 处理"}},
      {"font scale clamped", R"({"fontScale": 400})", {"config.json：“fontScale” 是 400，超出 50…200；按 200 处理"}},
      {"opacity raised", R"({"opacity": 5})", {"config.json：“opacity” 是 5，低于 20；按 20 处理"}},
      {"no budget", R"({"maxChars": 0})", {"config.json：“maxChars” 是 0：每封邮件都一个字也不翻译"}},
      {"two at once", R"({"trigger": "later", "style": "bold"})",
       {"config.json：“style” 的值 “bold” 不在 sidebar、highlight、plain 之中；按 “sidebar” 处理",
        "config.json：“trigger” 的值 “later” 不在 auto、manual 之中；按 “auto”（自动翻译） 处理"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> got;
    for (const auto& finding : checkConfigText(c.json)) {
      EXPECT_EQ(finding.level, FindingLevel::problem);
      got.push_back(finding.text);
    }
    EXPECT_EQ(got, c.want);
  }
}

struct DoctorRun {
  int status = -1;
  std::string out;
  std::string lastLine;
};

class Doctor : public ::testing::Test {
 protected:
  void SetUp() override { fs::permissions(home.path(), fs::perms::owner_all); }

  DoctorRun run(const fs::path& root, std::map<std::string, std::string> env = {}) {
    env["QY_HOME"] = root.string();
    env["HOME"] = home.path().string();  // no user unit of the machine's own
    auto result = runProcess({QY_EXT_BINARY, "doctor"}, "", env);
    DoctorRun doctor{result.status, result.out, ""};
    const size_t end = result.out.find_last_not_of('\n');
    const size_t start = result.out.rfind('\n', end);
    doctor.lastLine = result.out.substr(start + 1, end - start);
    return doctor;
  }
  void write(const std::string& name, const std::string& text, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    testing::writeFile(home / name, text);
    fs::permissions(home / name, perms);
  }

  TempDir home;
};

TEST_F(Doctor, EachMisconfigurationIsNamedAndTheFirstComesLast) {
  // Language names are the locale data's.
  const std::string chinese = LangNames::chinese("zh-Hans") + "（zh-Hans）";
  const std::string mexican = LangNames::chinese("es-MX") + "（es-MX）";
  const std::string provider = std::string(QY_SOURCE_DIR) + "/tests/providers/scripted_provider.py";
  struct Case {
    const char* name;
    std::string config, translators;  // empty: no file
    fs::perms translatorsPerms;
    std::map<std::string, std::string> env;
    int status;
    std::vector<std::string> want;  // lines (or parts of lines) that must appear, in this order
  };
  const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
  const Case kCases[] = {
      {"everything works", R"({"targetLanguage": "es"})", "", ownerOnly, {}, 0,
       {"✓ config.json 可以读取，每个键都有效", "✓ Apertium 3.", "en → es、", "✓ 目标语言 西班牙语（es）：可以从", "英语",
        "一切正常。"}},
      {"default target without an engine", "", "", ownerOnly, {}, 1,
       {"✓ config.json 不存在：全部设置用默认值",
        "✗ 目标语言 " + chinese + "：本机没有能翻译成它的引擎", "translators.json",
        "第一个问题：目标语言 " + chinese}},
      {"a typo hides the target", R"({"targetLanguge": "es"})", "", ownerOnly, {}, 1,
       {"✗ config.json：不认识的键 “targetLanguge”", "✗ 目标语言 " + chinese,
        "第一个问题：config.json：不认识的键 “targetLanguge”"}},
      {"translators.json others can change", R"({"targetLanguage": "es"})",
       R"({"commands": [{"command": ["/bin/cat"], "pairs": [["*", "zh-Hans"]]}]})",
       ownerOnly | fs::perms::group_write | fs::perms::others_write, {}, 1,
       {"✗ translators.json 不被采用：", "可被组或其他用户写入（chmod go-w", "第一个问题：translators.json 不被采用"}},
      {"translators.json readable by others is used", R"({"targetLanguage": "es"})", R"({"apertium": true})",
       ownerOnly | fs::perms::group_read | fs::perms::others_read, {}, 0, {"✓ translators.json 已采用", "一切正常。"}},
      {"a program that is not there", R"({"targetLanguage": "es"})",
       R"({"commands": [{"command": ["/nonexistent/my-mt"], "pairs": [["en", "zh-Hans"]]}]})", ownerOnly, {}, 1,
       {"✓ translators.json 已采用", "✗ 找不到翻译程序 /nonexistent/my-mt（translators.json）"}},
      {"a malformed command entry", R"({"targetLanguage": "es"})", R"({"commands": [{"command": "my-mt"}]})",
       ownerOnly, {}, 1, {"✗ translators.json：commands 第 1 项被跳过：需要 “command”"}},
      {"a program that serves the target", "",
       R"({"commands": [{"command": [")" + provider + R"("], "pairs": [["*", "zh-Hans"]]}]})", ownerOnly, {}, 0,
       {"✓ 翻译程序 " + provider + " 能启动：* → zh-Hans",
        "✓ 目标语言 " + chinese + "：translators.json 的程序可以从任何语言翻译过来"}},
      {"Apertium missing", R"({"targetLanguage": "es"})", "", ownerOnly, {{"PATH", "/nonexistent"}}, 1,
       {"! 没有安装 Apertium（Debian 软件包 apertium", "✗ 目标语言 西班牙语（es）：没有已安装的翻译引擎",
        "apertium-eng-spa（从英语）", "例如 sudo apt-get install apertium apertium-eng-spa"}},
      {"Apertium turned off", R"({"targetLanguage": "es"})", R"({"apertium": false})", ownerOnly, {}, 1,
       {"! Apertium 已在 translators.json 里关闭", "translators.json 关闭了 Apertium，打开它"}},
      {"a region no engine has", R"({"targetLanguage": "es-MX"})", "", ownerOnly, {}, 0,
       {"✓ 目标语言 " + mexican + "：可以从", "! 没有引擎有 " + mexican + " 这个地区变体：按 西班牙语（es） 翻译"}},
      {"a region Apertium has", R"({"targetLanguage": "en-US"})", "", ownerOnly, {}, 0,
       {"✓ 目标语言 " + LangNames::chinese("en-US") + "（en-US）：可以从西班牙语翻译过来", "一切正常。"}},
      {"a pair package not installed", R"({"targetLanguage": "pt"})", "", ownerOnly, {}, 1,
       {"✗ 目标语言 葡萄牙语（pt）：没有已安装的翻译引擎", "apertium-es-pt（从西班牙语）"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove(home / "config.json");
    fs::remove(home / "translators.json");
    if (!c.config.empty()) write("config.json", c.config);
    if (!c.translators.empty()) write("translators.json", c.translators, c.translatorsPerms);
    DoctorRun doctor = run(home.path(), c.env);
    EXPECT_EQ(doctor.status, c.status) << doctor.out;
    size_t at = 0;
    for (const auto& part : c.want) {
      const size_t found = doctor.out.find(part, at);
      EXPECT_NE(found, std::string::npos) << "missing or out of order: " << part << "\n" << doctor.out;
      if (found != std::string::npos) at = found + part.size();
    }
    if (c.status == 1) {
      EXPECT_EQ(doctor.lastLine.rfind("第一个问题：", 0), 0u) << doctor.out;
    }
  }
}

TEST_F(Doctor, ChecksTheStorageDirectoryWithoutChangingIt) {
  write("config.json", R"({"targetLanguage": "es"})");
  struct Case { const char* name; fs::path root; std::function<void()> prepare; int status; std::string want; };
  const fs::path missing = home / "new" / "Quillory";
  const fs::path file = home / "plain-file";
  const Case kCases[] = {
      {"not there yet", missing, [] {}, 1, "✓ 存储目录 " + missing.string() + " 还不存在，第一次使用时创建（0700）"},
      {"below a file", file / "Quillory", [&] { testing::writeFile(file, "x"); }, 1,
       "✗ 存储目录 " + (file / "Quillory").string() + " 无法创建：" + file.string() + " 不是目录"},
      {"open to others", home.path(), [&] { fs::permissions(home.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec); },
       0, "! 存储目录 " + home.path().string() + " 的权限是 0755：下次使用时改为 0700"},
      {"owner only", home.path(), [&] { fs::permissions(home.path(), fs::perms::owner_all); }, 0,
       "✓ 存储目录 " + home.path().string() + "（0700，可写）"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    DoctorRun doctor = run(c.root);
    EXPECT_NE(doctor.out.find(c.want), std::string::npos) << doctor.out;
    if (c.status == 0) {
      EXPECT_EQ(doctor.status, 0) << doctor.out;
    }
  }
  EXPECT_FALSE(fs::exists(missing.parent_path())) << "the doctor reads and never writes";

  fs::create_directories(home / "cache");
  testing::writeFile(home / "cache" / "a.json", std::string(2048, 'x'));
  DoctorRun doctor = run(home.path());
  EXPECT_NE(doctor.out.find("✓ 翻译缓存：1 个文件，2.0 KB"), std::string::npos) << doctor.out;
  EXPECT_FALSE(fs::exists(home / "qy.log")) << "nothing logged";
}

TEST(DoctorService, SeesARunningServiceAndAStaleSocket) {
  testing::ServeProcess service;
  ASSERT_TRUE(service.start()) << service.serviceErrors();
  const std::map<std::string, std::string> env = {{"QY_HOME", service.home().string()},
                                                  {"HOME", service.home().string()}};
  auto running = runProcess({QY_EXT_BINARY, "doctor"}, "", env);
  EXPECT_NE(running.out.find("✓ 服务 quillory-ext serve 正在运行（" + service.socket().string() + "）"),
            std::string::npos) << running.out;
  service.kill();  // the socket file stays behind, with nobody listening
  auto stale = runProcess({QY_EXT_BINARY, "doctor"}, "", env);
  EXPECT_NE(stale.out.find("! 服务 quillory-ext serve 没有运行"), std::string::npos) << stale.out;
}

}  // namespace
}  // namespace qy
