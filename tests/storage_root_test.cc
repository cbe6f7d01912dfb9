// The storage root must be the user's own: opened, tightened or refused with a reason, and a
// refused root is used for nothing (no settings, no cache, no log) while mail is still shown.
// Real directories, links, owners and permissions; "another user" is uid 65534, which needs root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config/config_store.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "core/config/storage_root.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::modeOf;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr uid_t kOtherUser = 65534;

bool isRoot() { return ::geteuid() == 0; }

TEST(StorageRoot, CreatesAndTightensTheUsersOwnRoot) {
  TempDir dir;
  EXPECT_EQ(StorageRoot::open(dir / "new/root"), (StorageRoot::Check{true, {}}));
  EXPECT_EQ(modeOf(dir / "new/root"), 0700u);
  EXPECT_EQ(modeOf(dir / "new/root/cache"), 0700u);

  std::filesystem::create_directories(dir / "loose/cache");
  ::chmod((dir / "loose").c_str(), 0777);
  ::chmod((dir / "loose/cache").c_str(), 0755);
  EXPECT_TRUE(StorageRoot::open(dir / "loose").usable);
  EXPECT_EQ(modeOf(dir / "loose"), 0700u);
  EXPECT_EQ(modeOf(dir / "loose/cache"), 0700u);

  // A root reached through a link of the user's own is the user's choice.
  std::filesystem::create_symlink(dir / "loose", dir / "link");
  EXPECT_TRUE(StorageRoot::open(dir / "link").usable);
}

TEST(StorageRoot, RefusesWhatSomeoneElseControls) {
  if (!isRoot()) GTEST_SKIP() << "needs root to give a directory to another user";
  struct Case {
    const char* name;
    void (*make)(const std::filesystem::path& root);
    const char* reason;  // part of the refusal
    bool rootItself;     // the root is refused on every use, not only when it is opened
  };
  const Case kCases[] = {
      {"root of another user",
       [](auto& r) {
         std::filesystem::create_directory(r);
         ASSERT_EQ(::chown(r.c_str(), kOtherUser, kOtherUser), 0);
       },
       "属于另一个用户（uid 65534）", true},
      {"root of another user open to all",
       [](auto& r) {
         std::filesystem::create_directory(r);
         ::chmod(r.c_str(), 0777);
         ASSERT_EQ(::chown(r.c_str(), kOtherUser, kOtherUser), 0);
       },
       "属于另一个用户", true},
      {"cache of another user",
       [](auto& r) {
         std::filesystem::create_directories(r / "cache");
         ASSERT_EQ(::chown((r / "cache").c_str(), kOtherUser, kOtherUser), 0);
       },
       "cache 属于另一个用户", false},
      {"cache is a link",
       [](auto& r) {
         std::filesystem::create_directory(r);
         std::filesystem::create_symlink(r.parent_path(), r / "cache");
       },
       "cache 是符号链接", false},
      {"root is another user's link to the user's folder",
       [](auto& r) {
         std::filesystem::create_directory(r.parent_path() / "mine");
         std::filesystem::create_symlink(r.parent_path() / "mine", r);
         ASSERT_EQ(::lchown(r.c_str(), kOtherUser, kOtherUser), 0);
       },
       "是属于另一个用户（uid 65534）的符号链接", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto root = dir / "root";
    c.make(root);
    writeFile(root / "config.json", R"({"targetLanguage": "es"})");
    const auto check = StorageRoot::open(root);
    EXPECT_FALSE(check.usable);
    EXPECT_NE(check.refusal.find(root.string()), std::string::npos) << check.refusal;
    EXPECT_NE(check.refusal.find(c.reason), std::string::npos) << check.refusal;
    EXPECT_FALSE(StorageRoot::open(root.string() + "/").usable);  // the same directory

    if (!c.rootItself) continue;  // the programs consult the opening (see the decode test below)
    // Nothing there is used: no settings read or written, no log line.
    ConfigStore::Store store(root);
    EXPECT_EQ(store.load(), Config{});
    EXPECT_FALSE(store.save(Config{}));
    EXPECT_EQ(Config::decode(readFile(root / "config.json"))->targetLanguage, "es");
    {
      LogWriter log(root / "qy.log", root / "cache");
      log.write("line");
    }
    EXPECT_FALSE(std::filesystem::exists(root / "qy.log"));
  }
}

TEST(StorageRoot, AForeignRootGetsNoCacheDirectory) {
  if (!isRoot()) GTEST_SKIP() << "needs root to give a directory to another user";
  TempDir dir;
  std::filesystem::create_directory(dir / "root");
  ::chmod((dir / "root").c_str(), 0777);
  ASSERT_EQ(::chown((dir / "root").c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(StorageRoot::open(dir / "root").usable);
  Paths::ensureDirectory(dir / "root/cache");
  EXPECT_FALSE(std::filesystem::exists(dir / "root/cache"));
}

TEST(StorageRoot, OpeningRemovesTemporariesOfKilledSaves) {
  TempDir dir;
  std::filesystem::create_directories(dir / "cache");
  const auto now = std::chrono::system_clock::now();
  for (const char* name : {".config.json.Ab12Cd", ".config.json.Ef34Gh", ".translators.json.Ab12Cd"})
    writeFile(dir / name, "{}");
  for (const char* name : {".config.json.Ab12Cd", ".translators.json.Ab12Cd"}) {
    std::filesystem::last_write_time(dir / name,
                                     std::chrono::file_clock::from_sys(now - std::chrono::hours(2)));
  }
  const std::string key = std::string(24, 'a') + "-" + std::string(10, '0') + ".json";
  const std::string stale = "." + key + ".Ab12Cd";
  for (const std::string& name : {stale, "." + key + ".Ef34Gh", std::string(".notes.Ab12Cd")})
    writeFile(dir / "cache" / name, "{}");
  for (const std::string& name : {stale, std::string(".notes.Ab12Cd")}) {
    std::filesystem::last_write_time(dir / "cache" / name,
                                     std::chrono::file_clock::from_sys(now - std::chrono::hours(2)));
  }
  EXPECT_TRUE(StorageRoot::open(dir.path(), now).usable);
  EXPECT_FALSE(std::filesystem::exists(dir / "cache" / stale));
  EXPECT_TRUE(std::filesystem::exists(dir / "cache" / ("." + key + ".Ef34Gh")));
  EXPECT_TRUE(std::filesystem::exists(dir / "cache/.notes.Ab12Cd"));
  EXPECT_FALSE(std::filesystem::exists(dir / ".config.json.Ab12Cd"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".config.json.Ef34Gh"));     // a save in flight
  EXPECT_TRUE(std::filesystem::exists(dir / ".translators.json.Ab12Cd"));  // not written by us
}

TEST(Log, APlantedLogLinkCarriesNoLineElsewhere) {
  TempDir dir;
  writeFile(dir / "victim.txt", "the user's notes\n");
  std::filesystem::create_symlink(dir / "victim.txt", dir / "qy.log");
  {
    LogWriter log(dir / "qy.log", dir / "cache");
    log.write("decode 10B -> skipped");
  }
  EXPECT_EQ(readFile(dir / "victim.txt"), "the user's notes\n");
}

TEST(DecodeWithForeignRoot, UsesDefaultsSaysSoOnceAndStillShowsTheMessage) {
  if (!isRoot()) GTEST_SKIP() << "needs root to give a directory to another user";
  TempDir dir;
  const auto home = dir / "home";
  std::filesystem::create_directory(home);
  writeFile(home / "config.json", R"({"mode": "off", "darkMode": "on"})");
  ASSERT_EQ(::chown(home.c_str(), kOtherUser, kOtherUser), 0);
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/newsletter-en.eml");

  auto run = testing::runProcess({QY_EXT_BINARY, "decode"}, input, {{"QY_HOME", home.string()}});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(run.out.empty());
  size_t lines = 0;
  for (size_t at = run.err.find(home.string()); at != std::string::npos;
       at = run.err.find(home.string(), at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << run.err;
  EXPECT_NE(run.err.find("属于另一个用户"), std::string::npos) << run.err;
  EXPECT_FALSE(std::filesystem::exists(home / "qy.log"));
  EXPECT_FALSE(std::filesystem::exists(home / "cache"));
}

}  // namespace
}  // namespace qy
