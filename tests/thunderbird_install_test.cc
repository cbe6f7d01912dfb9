// install-thunderbird / uninstall-thunderbird, run as the real program in a temporary HOME, and
// the recognition of Thunderbird's way of starting a native host.
#include "extension/commands/thunderbird_install.h"

#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

namespace fs = std::filesystem;
using testing::runProcess;

TEST(InstallThunderbird, WritesTheManifestNamingThisBinaryAndRemovesIt) {
  testing::TempDir home;
  const fs::path manifest = home / ".mozilla/native-messaging-hosts/quillory.json";
  auto installed = runProcess({QY_EXT_BINARY, "install-thunderbird"}, "",
                              {{"HOME", home.path().string()}});
  ASSERT_EQ(installed.status, 0) << installed.err;
  EXPECT_NE(installed.out.find(manifest.string()), std::string::npos) << installed.out;
  EXPECT_NE(installed.out.find("从文件安装附加组件…"), std::string::npos) << installed.out;

  const auto json = nlohmann::json::parse(testing::readFile(manifest));
  EXPECT_EQ(json["name"], "quillory");
  EXPECT_EQ(json["type"], "stdio");
  EXPECT_EQ(json["path"], fs::canonical(QY_EXT_BINARY).string());
  EXPECT_EQ(json["allowed_extensions"], nlohmann::json::array({"quillory@quillory"}));

  // Installing again replaces the manifest in place.
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "install-thunderbird"}, "", {{"HOME", home.path()}}).status, 0);

  auto removed = runProcess({QY_EXT_BINARY, "uninstall-thunderbird"}, "", {{"HOME", home.path()}});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_FALSE(fs::exists(manifest));
  auto again = runProcess({QY_EXT_BINARY, "uninstall-thunderbird"}, "", {{"HOME", home.path()}});
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("无需删除"), std::string::npos) << again.out;
}

TEST(InstallThunderbird, NamesTheAddonFileOfTheBuild) {
  // The test binary's quillory-ext sits in the build folder, whose top holds quillory.xpi.
  const auto xpi = findAddonFile(fs::canonical(QY_EXT_BINARY));
  ASSERT_TRUE(xpi.has_value());
  EXPECT_EQ(xpi->filename(), "quillory.xpi");
  EXPECT_FALSE(findAddonFile("/nonexistent/bin/quillory-ext").has_value());
}

TEST(InstallThunderbird, ReportsAManifestThatCannotBeWritten) {
  testing::TempDir home;
  testing::writeFile(home / ".mozilla", "a file where the directory belongs");
  auto result = runProcess({QY_EXT_BINARY, "install-thunderbird"}, "", {{"HOME", home.path()}});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("无法写入"), std::string::npos) << result.err;
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "install-thunderbird", "extra"}, "", {{"HOME", home.path()}}).status, 2);
}

TEST(InstallThunderbird, RecognisesThunderbirdsLaunchArguments) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool want;
  };
  const Case kCases[] = {
      {"manifest and add-on id", {"/h/.mozilla/native-messaging-hosts/quillory.json", "quillory@quillory"}, true},
      {"manifest only", {"/h/.mozilla/native-messaging-hosts/quillory.json"}, true},
      {"another add-on's id", {"/h/quillory.json", "other@example.org"}, false},
      {"relative manifest", {"quillory.json", "quillory@quillory"}, false},
      {"a command", {"decode"}, false},
      {"a message file", {"/tmp/mail.eml"}, false},
      {"nothing", {}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(isBrowserLaunch(c.args), c.want);
  }
}

}  // namespace
}  // namespace qy
