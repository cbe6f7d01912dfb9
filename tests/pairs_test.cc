// `quillory-ext pairs` with the real Apertium of this machine (English-Spanish and French-Spanish
// are installed by the setup script), with translators.json's programs, and with Apertium off or
// missing.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::runProcess;
using testing::TempDir;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

size_t indexOf(const std::vector<std::string>& list, const std::string& line) {
  return static_cast<size_t>(std::find(list.begin(), list.end(), line) - list.begin());
}

TEST(Pairs, ListsInstalledPairsFirstThenWhatAPackageWouldAdd) {
  TempDir home;
  auto run = runProcess({QY_EXT_BINARY, "pairs"}, "", {{"QY_HOME", home.path().string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto list = lines(run.out);
  const size_t english = indexOf(list, "en → es  已安装  apertium-eng-spa");
  const size_t regional = indexOf(list, "es → en-US  已安装  apertium-eng-spa");
  const size_t french = indexOf(list, "fr → es  已安装  apertium-fr-es");
  const size_t portuguese = indexOf(list, "pt → es  可安装  apertium-es-pt");
  ASSERT_LT(english, list.size()) << run.out;
  EXPECT_LT(regional, list.size()) << run.out;
  ASSERT_LT(french, list.size()) << run.out;
  ASSERT_LT(portuguese, list.size()) << run.out;
  EXPECT_LT(french, portuguese) << "installed pairs come first";
  EXPECT_EQ(indexOf(list, "en → es  可安装  apertium-eng-spa"), list.size()) << "listed once";
  for (const auto& line : list) EXPECT_EQ(line.find("eco"), std::string::npos) << line;
}

TEST(Pairs, NamesTheProgramsOfTranslatorsJsonAndApertiumOffOrMissing) {
  TempDir home;
  const std::string program = (home / "my-mt").string();
  struct Case { const char* name; std::string translators; std::string path; std::vector<std::string> want, absent; std::string err; };
  const Case kCases[] = {
      {"a program beside Apertium",
       R"({"commands": [{"command": [")" + program + R"(", "--serve"], "pairs": [["*", "zh-Hans"], ["en", "de"]]}]})",
       "", {"* → zh-Hans  已安装  " + program + "（translators.json）", "en → de  已安装  " + program + "（translators.json）",
            "en → es  已安装  apertium-eng-spa"}, {}, ""},
      {"Apertium turned off", R"({"apertium": false})", "", {}, {"en → es  已安装  apertium-eng-spa"},
       "translators.json 关闭了 Apertium"},
      {"Apertium tools not on PATH", "", "/nonexistent", {"en → es  可安装  apertium apertium-eng-spa"},
       {"en → es  已安装  apertium-eng-spa"}, "没有安装 Apertium（Debian 软件包 apertium）"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(home / "translators.json");
    if (!c.translators.empty()) {
      testing::writeFile(home / "translators.json", c.translators);
      std::filesystem::permissions(home / "translators.json", std::filesystem::perms::owner_read |
                                                                 std::filesystem::perms::owner_write);
    }
    std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
    if (!c.path.empty()) env["PATH"] = c.path;
    auto run = runProcess({QY_EXT_BINARY, "pairs"}, "", env);
    EXPECT_EQ(run.status, 0);
    const auto list = lines(run.out);
    for (const auto& line : c.want) EXPECT_LT(indexOf(list, line), list.size()) << line << "\n" << run.out;
    for (const auto& line : c.absent) EXPECT_EQ(indexOf(list, line), list.size()) << line;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace qy
