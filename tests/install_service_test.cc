// The systemd user unit: its text, and install-service / uninstall-service against a stand-in
// systemctl that records its calls (and one that fails, as where there is no user systemd).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "extension/commands/install_service_command.h"
#include "support/serve_process.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(ServiceUnit, StartsThisBinaryAndRestartsOnFailure) {
  std::string unit = serviceUnitText("/opt/quillory/bin/quillory-ext", std::nullopt);
  EXPECT_NE(unit.find("\nExecStart=/opt/quillory/bin/quillory-ext serve\n"), std::string::npos);
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos);
  EXPECT_NE(unit.find("\nKillMode=control-group\n"), std::string::npos);
  EXPECT_NE(unit.find("\n[Install]\nWantedBy=default.target\n"), std::string::npos);
  EXPECT_EQ(unit.find("Environment="), std::string::npos);
  // Paths systemd would split or expand are quoted and escaped.
  std::string odd = serviceUnitText("/home/a b/100%/quillory-ext", std::string("/data/q \"x\""));
  EXPECT_NE(odd.find("\nExecStart=\"/home/a b/100%%/quillory-ext\" serve\n"), std::string::npos);
  EXPECT_NE(odd.find("\nEnvironment=\"QY_HOME=/data/q \\\"x\\\"\"\n"), std::string::npos);
}

struct Installer {
  TempDir dir;
  std::map<std::string, std::string> env() const {
    return {{"XDG_CONFIG_HOME", (dir / "config").string()},
            {"PATH", (dir / "bin").string()},
            {"QY_HOME", (dir / "home").string()}};
  }
  std::filesystem::path unit() const { return dir / "config/systemd/user/quillory-ext.service"; }
  // A systemctl that notes its arguments and exits with `status`.
  void systemctl(int status) {
    std::filesystem::create_directories(dir / "bin");
    writeFile(dir / "bin/systemctl", "#!/bin/sh\necho \"$*\" >> '" + (dir / "calls").string() +
                                         "'\nexit " + std::to_string(status) + "\n");
    ::chmod((dir / "bin/systemctl").c_str(), 0755);
  }
  testing::ProcessResult run(const std::string& command,
                             std::map<std::string, std::string> extra = {}) const {
    auto environment = env();
    for (auto& [name, value] : extra) environment[name] = value;
    return testing::runProcess({QY_EXT_BINARY, command}, "", environment);
  }
  std::string calls() const {
    return std::filesystem::exists(dir / "calls") ? readFile(dir / "calls") : "";
  }
};

TEST(InstallService, WritesEnablesAndStartsTheUnitAndUninstallUndoesIt) {
  Installer i;
  i.systemctl(0);
  auto installed = i.run("install-service");
  EXPECT_EQ(installed.status, 0) << installed.err;
  ASSERT_TRUE(std::filesystem::exists(i.unit()));
  EXPECT_NE(readFile(i.unit()).find("\nExecStart=" +
                                    std::filesystem::canonical(QY_EXT_BINARY).string() + " serve\n"),
            std::string::npos);
  EXPECT_EQ(i.calls(), "--user daemon-reload\n--user enable --now quillory-ext.service\n");

  auto removed = i.run("uninstall-service");
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_FALSE(std::filesystem::exists(i.unit()));
  EXPECT_EQ(i.calls(),
            "--user daemon-reload\n--user enable --now quillory-ext.service\n"
            "--user disable --now quillory-ext.service\n--user daemon-reload\n");
}

// A service started by hand holds the storage root, so the unit's own would exit at once and be
// restarted until systemd gives up: the unit is enabled for the next login, not started now.
TEST(InstallService, BesideAServiceStartedByHandEnablesWithoutStarting) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  Installer i;
  i.systemctl(0);
  auto installed = i.run("install-service", {{"QY_HOME", serve.home().string()}});
  EXPECT_EQ(installed.status, 0) << installed.err;
  EXPECT_EQ(i.calls(), "--user daemon-reload\n--user enable quillory-ext.service\n");
  EXPECT_NE(installed.out.find("手动启动的服务在运行"), std::string::npos) << installed.out;
}

TEST(InstallService, WithoutUserSystemdSaysSoInOneLineAndLeavesTheUnit) {
  for (bool hasSystemctl : {true, false}) {
    SCOPED_TRACE(hasSystemctl ? "systemctl --user fails" : "no systemctl at all");
    Installer i;
    if (hasSystemctl) i.systemctl(1);
    auto installed = i.run("install-service");
    EXPECT_EQ(installed.status, 1);
    EXPECT_EQ(std::count(installed.err.begin(), installed.err.end(), '\n'), 1) << installed.err;
    EXPECT_NE(installed.err.find("没有用户级 systemd"), std::string::npos);
    EXPECT_NE(installed.err.find(i.unit().string()), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(i.unit()));

    auto removed = i.run("uninstall-service");
    EXPECT_EQ(removed.status, 1);
    EXPECT_FALSE(std::filesystem::exists(i.unit()));
  }
  Installer usage;
  EXPECT_EQ(testing::runProcess({QY_EXT_BINARY, "install-service", "now"}, "", usage.env()).status,
            2);
}

}  // namespace
}  // namespace qy
