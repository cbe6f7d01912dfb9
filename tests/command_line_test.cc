// quillory-ext's command line: help for the program and each command, the version, and the
// reason named when a message cannot be read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <map>

#include "extension/commands/command_help.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::runProcess;
using testing::TempDir;

TEST(CommandLine, HelpAndVersion) {
  struct Case { const char* name; std::vector<std::string> args; int status; std::string inOut, inErr; };
  const Case kCases[] = {
      {"overview", {"--help"}, 0, "每个命令都接受 --help", ""},
      {"no command is a usage error", {}, 2, "", "用法："},
      {"version", {"--version"}, 0, "quillory-ext 0.1.0\n", ""},
      {"unknown command", {"frobnicate"}, 2, "", "没有“frobnicate”这个命令"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv = {QY_EXT_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto run = runProcess(argv, "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE(run.out.find(c.inOut), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.inErr), std::string::npos) << run.err;
  }
  // Every command has its own help, and the overview lists it.
  const std::string overview = runProcess({QY_EXT_BINARY, "--help"}, "").out;
  for (const auto& help : commandHelps()) {
    SCOPED_TRACE(std::string(help.name));
    EXPECT_NE(overview.find(std::string(help.usage)), std::string::npos);
    for (const char* flag : {"--help", "-h"}) {
      auto run = runProcess({QY_EXT_BINARY, std::string(help.name), flag}, "");
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.out.rfind("用法：" + std::string(help.usage) + "\n", 0), 0u) << run.out;
    }
  }
}

TEST(CommandLine, EveryUsageErrorHasOneFormWithTheCommandsUsageLine) {
  TempDir home;
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  struct Case { std::vector<std::string> args; std::string message; };
  std::vector<Case> cases;
  // Every command of the table refuses an option it does not know.
  for (const auto& help : commandHelps())
    cases.push_back({{std::string(help.name), "--bogus"}, "不认识的选项“--bogus”"});
  const std::string mail = (home / "a.eml").string();
  testing::writeFile(mail, "Subject: x\n\nhi\n");
  const Case kMore[] = {
      {{"decode", "--wait"}, "选项 --wait 后面要跟秒数"},
      {{"decode", "--wait", "soon"}, "选项 --wait 要的是不小于 0 的秒数，不是“soon”"},
      {{"decode", "--wait=-1"}, "选项 --wait 要的是不小于 0 的秒数，不是“-1”"},
      {{"decode", mail, mail}, "一次只能翻译一封邮件（多出的参数“" + mail + "”）"},
      {{"serve", "extra"}, "不接受参数“extra”"},
      {{"serve", "--reader"}, "选项 --reader 后面要跟邮件的路径"},
      {{"serve", "--reader", mail, "--port", "seventy"},
       "选项 --port 要的是 0 到 65535 的端口号，不是“seventy”"},
      {{"reader"}, "缺少要读取的邮件的路径（Maildir、mbox 文件或 .eml 文件夹）"},
      {{"reader", mail, mail}, "不接受参数“" + mail + "”"},
      {{"reader", mail, "--port", "-1"}, "选项 --port 要的是 0 到 65535 的端口号，不是“-1”"},
      {{"serve", "--port", "8080"}, "--port 和 --no-browser 只能和 --reader PATH 一起用"},
      {{"doctor", "now"}, "不接受参数“now”"},
      {{"pairs", "en"}, "不接受参数“en”"},
      {{"native-host", "x"}, "不接受参数“x”"},
      {{"install-service", "x"}, "不接受参数“x”"},
  };
  cases.insert(cases.end(), std::begin(kMore), std::end(kMore));
  for (const Case& c : cases) {
    std::string line;
    for (const auto& arg : c.args) line += " " + arg;
    SCOPED_TRACE(line);
    std::vector<std::string> argv = {QY_EXT_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto run = runProcess(argv, "", env);
    EXPECT_EQ(run.status, kUsageStatus);
    EXPECT_EQ(run.out, "");
    const std::string usage(commandHelp(c.args[0])->usage);
    EXPECT_EQ(run.err, "quillory-ext " + c.args[0] + "：" + c.message + "\n用法：" + usage + "\n");
  }
}

TEST(CommandLine, UnreadableMessageNamesTheReason) {
  TempDir home;
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  std::filesystem::create_directory(home / "folder");
  testing::writeFile(home / "locked.eml", "Subject: x\n\nhi\n");
  std::filesystem::permissions(home / "locked.eml", std::filesystem::perms::none);
  struct Case { const char* name; std::string file, reason; bool needsUnprivileged; };
  const Case kCases[] = {
      {"a directory", (home / "folder").string(), "这是一个目录，不是邮件文件（Is a directory）", false},
      {"no such file", (home / "missing.eml").string(), "没有这个文件（No such file or directory）", false},
      {"no permission", (home / "locked.eml").string(), "没有读取权限（Permission denied）", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.needsUnprivileged && geteuid() == 0) continue;  // root reads any file
    auto run = runProcess({QY_EXT_BINARY, "decode", c.file}, "", env);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "quillory-ext decode：无法读取 " + c.file + "：" + c.reason + "\n");
    EXPECT_EQ(run.out, "");
  }
}

}  // namespace
}  // namespace qy
