// Installing a language pack: the command chosen, how the installer's outcome reads in Chinese
// (apt-get's real messages, pkexec's exit codes), and a real stand-in installer whose error
// output and environment reach that reading.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/pack_install.h"
#include "support/temp_dir.h"

namespace qy::platform {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(PackInstall, OutcomesReadAsWhatToDo) {
  struct Case {
    const char* name;
    InstallOutcome outcome;
    std::optional<std::string> want;
  };
  const std::string pkg = "apertium-es-pt";
  const Case kCases[] = {
      {"done", {0, "Setting up apertium-es-pt ...\n", false}, std::nullopt},
      {"done through pkexec", {0, "", true}, std::nullopt},
      {"not in the sources",
       {100, "Reading package lists...\nE: Unable to locate package apertium-es-pt\n", false},
       "软件源里找不到 apertium-es-pt：请先运行 sudo apt-get update 再试"},
      {"no candidate",
       {100, "E: Package 'apertium-es-pt' has no installation candidate\n", false},
       "软件源里找不到 apertium-es-pt：请先运行 sudo apt-get update 再试"},
      {"no network",
       {100,
        "Err:1 http://deb.debian.org/debian bookworm/main amd64 apertium-es-pt all 2.0\n"
        "  Temporary failure resolving 'deb.debian.org'\n"
        "E: Failed to fetch http://deb.debian.org/debian/pool/main/a/apertium-es-pt.deb\n",
        false},
       "无法连接软件源，apertium-es-pt 没有下载：请检查网络后再试"},
      {"lists out of date",
       {100,
        "Err:1 http://deb.debian.org/debian bookworm/main amd64 apertium-es-pt all 2.0\n"
        "  404  Not Found [IP: 151.101.2.132 80]\n"
        "E: Failed to fetch http://deb.debian.org/debian/pool/main/a/apertium-es-pt.deb  404  Not "
        "Found\n",
        false},
       "软件源的软件包列表过期了，apertium-es-pt 没有下载：请先运行 sudo apt-get update 再试"},
      {"dialog dismissed", {126, "", true}, "没有得到管理员授权，apertium-es-pt 没有安装"},
      {"authorisation refused",
       {127, "Error executing command as another user: Not authorized\n", true},
       "没有得到管理员授权，apertium-es-pt 没有安装"},
      {"127 from apt-get itself is no authorisation question",
       {127, "", false}, "安装 apertium-es-pt 失败（退出码 127）"},
      {"dpkg busy",
       {100,
        "E: Could not get lock /var/lib/dpkg/lock-frontend. It is held by process 4242 (apt)\n"
        "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), is another "
        "process using it?\n",
        false},
       "另一个程序正在安装软件（dpkg 被占用），请等它结束后再试"},
      {"not root",
       {100,
        "E: Could not open lock file /var/lib/dpkg/lock-frontend - open (13: Permission denied)\n"
        "E: Unable to acquire the dpkg frontend lock (/var/lib/dpkg/lock-frontend), are you "
        "root?\n",
        false},
       "安装软件需要管理员权限，apertium-es-pt 没有安装（请用 sudo apt-get install "
       "apertium-es-pt）"},
      {"time limit", {std::nullopt, "Get:1 http://deb.debian.org ...\n", false},
       "安装 apertium-es-pt 没有在规定时间内完成，已停止"},
      {"anything else keeps the installer's last error line",
       {100, "E: first\nsome note\nE: Sub-process /usr/bin/dpkg returned an error code (1)\n"
             "trailing chatter\n",
        false},
       "安装 apertium-es-pt 失败（退出码 100）：E: Sub-process /usr/bin/dpkg returned an error "
       "code (1)"},
      {"silent failure", {4, "", false}, "安装 apertium-es-pt 失败（退出码 4）"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(installError(pkg, c.outcome), c.want);
  }
}

TEST(PackInstall, TheCommandIsTheConfiguredOneThenTheEnvironmentThenAptGet) {
  const std::vector<std::string> configured = {"/bin/true", "--x"};
  EXPECT_EQ(packInstallCommand(configured), configured);
  setenv("QY_PACK_INSTALL", " /usr/bin/env   true ", 1);
  EXPECT_EQ(packInstallCommand({}), (std::vector<std::string>{"/usr/bin/env", "true"}));
  unsetenv("QY_PACK_INSTALL");
  // Root has no desktop to ask, so no pkexec in front.
  const std::vector<std::string> want =
      geteuid() == 0 ? std::vector<std::string>{"apt-get", "install", "-y"}
                     : std::vector<std::string>{"pkexec", "apt-get", "install", "-y"};
  EXPECT_EQ(packInstallCommand({}), want);
}

TEST(PackInstall, TheInstallersErrorOutputIsReadInTheCLocale) {
  TempDir dir;
  // Like apt-get: the error on standard error, in the language the environment asks for.
  const auto installer = dir / "apt-get";
  writeFile(installer,
            "#!/bin/sh\n"
            "echo \"Reading package lists... ($LC_ALL)\"\n"
            "[ \"$LC_ALL\" = C ] || { echo 'E: 无法定位软件包' >&2; exit 100; }\n"
            "echo \"E: Unable to locate package $3\" >&2\n"
            "exit 100\n");
  chmod(installer.c_str(), 0700);
  setenv("LC_ALL", "zh_CN.UTF-8", 1);
  const PackResult result = installPackage({installer.string(), "install", "-y"}, "apertium-xx");
  unsetenv("LC_ALL");
  EXPECT_EQ(result.error, "软件源里找不到 apertium-xx：请先运行 sudo apt-get update 再试");

  EXPECT_EQ(installPackage({(dir / "missing").string()}, "p").error,
            "找不到安装命令 " + (dir / "missing").string());
  EXPECT_EQ(installPackage({"/bin/true"}, "p").error, std::nullopt);
}

}  // namespace
}  // namespace qy::platform
