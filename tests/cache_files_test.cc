// Translation cache files and the maintenance of a root's cache directory, on real files, links
// and permissions: only our own cache files are ever read, counted or deleted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "core/base/file_io.h"
#include "core/config/paths.h"
#include "core/engine/cache_files.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr uid_t kOtherUser = 65534;

std::string keyName(char digit) {
  return std::string(24, digit) + "-" + std::string(10, '0') + ".json";
}

void age(const std::filesystem::path& path, std::chrono::system_clock::duration by) {
  // Sets the entry's own time: a link is dated itself, not its target.
  const auto when = std::chrono::system_clock::now() - by;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
  times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

constexpr auto kDays31 = std::chrono::hours(24 * 31);

TEST(CacheFiles, NamesAreKeysPlusJson) {
  EXPECT_TRUE(CacheFiles::isCacheFileName(keyName('a')));
  EXPECT_TRUE(CacheFiles::isCacheFileName("0123456789abcdef01234567-89abcdef01.json"));
  for (std::string name : {std::string("old.json"), keyName('A'), keyName('g'),
                           keyName('a') + "x", "." + keyName('a'), keyName('a').substr(1),
                           std::string(24, 'a') + "_" + std::string(10, '0') + ".json"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(CacheFiles::isCacheFileName(name));
  }
}

TEST(CacheFiles, PruneDeletesOnlyOldOrFarFutureCacheFilesAndStaleTemporaries) {
  TempDir root;
  Paths::ensureDirectory(root / "cache");
  const auto cache = root / "cache";
  writeFile(cache / keyName('a'), "{}");                    // old: goes
  writeFile(cache / keyName('b'), "{}");                    // 29 days: stays
  writeFile(cache / keyName('7'), "{}");                    // a year ahead (clock set back): goes
  writeFile(cache / keyName('8'), "{}");                    // a minute ahead (clock skew): stays
  writeFile(cache / ("." + keyName('c') + ".Ab12Yz"), "");  // killed store, 2 hours: goes
  writeFile(cache / ("." + keyName('d') + ".Qw34Er"), "");  // store in flight: stays
  writeFile(cache / ".pruned", "");                         // not a cache file: stays
  writeFile(cache / "notes.txt", "mine");
  writeFile(cache / ".notes.txt.Ab12Yz", "mine");           // someone else's temporary
  std::filesystem::create_directory(cache / keyName('e'));  // a folder with a cache-file name
  writeFile(cache / keyName('e') / "inside", "kept");
  writeFile(root / "outside.json", "{\"a\": \"b\"}");
  std::filesystem::create_symlink(root / "outside.json", cache / keyName('f'));
  for (const char* name : {"notes.txt", ".notes.txt.Ab12Yz", ".pruned"}) age(cache / name, kDays31);
  age(cache / keyName('a'), kDays31);
  age(cache / keyName('b'), std::chrono::hours(24 * 29));
  age(cache / keyName('7'), -std::chrono::hours(24 * 365));
  age(cache / keyName('8'), -std::chrono::minutes(1));
  age(cache / ("." + keyName('c') + ".Ab12Yz"), std::chrono::hours(2));
  age(cache / keyName('e'), kDays31);
  age(cache / keyName('f'), kDays31);
  age(root / "outside.json", kDays31);

  CacheFiles::prune(root.path(), std::chrono::system_clock::now());

  EXPECT_FALSE(std::filesystem::exists(cache / keyName('a')));
  EXPECT_FALSE(std::filesystem::exists(cache / keyName('7')));
  EXPECT_FALSE(std::filesystem::exists(cache / ("." + keyName('c') + ".Ab12Yz")));
  for (std::string kept : {keyName('b'), keyName('8'), "." + keyName('d') + ".Qw34Er", std::string(".pruned"),
                           std::string("notes.txt"), std::string(".notes.txt.Ab12Yz"),
                           keyName('e') + "/inside"}) {
    EXPECT_TRUE(std::filesystem::exists(cache / kept)) << kept;
  }
  EXPECT_TRUE(std::filesystem::is_symlink(cache / keyName('f')));
  EXPECT_EQ(readFile(root / "outside.json"), "{\"a\": \"b\"}");
}

TEST(CacheFiles, ACacheDirectoryThatIsALinkIsNeverTouched) {
  // Another user who controls a shared root points cache/ at the victim's documents.
  TempDir root;
  TempDir home;  // the victim's home: private, like the root
  const auto documents = home / "Documents";
  std::filesystem::create_directory(documents);
  writeFile(documents / keyName('a'), "{}");
  writeFile(documents / "thesis.odt", "years of work");
  std::filesystem::create_directory(documents / "photos");
  writeFile(documents / "photos/1.jpg", "jpeg");
  for (const char* name : {"thesis.odt", "photos"}) age(documents / name, kDays31);
  age(documents / keyName('a'), kDays31);
  std::filesystem::create_symlink(documents, root / "cache");

  CacheFiles::prune(root.path(), std::chrono::system_clock::now());
  CacheFiles::clear(root.path());
  EXPECT_EQ(CacheFiles::size(root.path()), (CacheFiles::Size{0, 0}));
  EXPECT_FALSE(CacheFiles::read(root / "cache", std::string(24, 'a') + "-" + std::string(10, '0')));
  EXPECT_FALSE(CacheFiles::write(root / "cache", "k", {{"a", "b"}}));

  EXPECT_EQ(readFile(documents / keyName('a')), "{}");
  EXPECT_EQ(readFile(documents / "thesis.odt"), "years of work");
  EXPECT_EQ(readFile(documents / "photos/1.jpg"), "jpeg");
  EXPECT_FALSE(std::filesystem::exists(documents / "k.json"));
}

TEST(CacheFiles, SizeAndClearCountOnlyCacheFiles) {
  TempDir root;
  Paths::ensureDirectory(root / "cache");
  const auto cache = root / "cache";
  ASSERT_TRUE(CacheFiles::write(cache, keyName('a').substr(0, 35), {{"a", "b"}}));  // {"a":"b"}
  writeFile(cache / keyName('b'), "{}");
  writeFile(cache / ".pruned", "stamp");
  writeFile(cache / "notes.txt", "not ours");
  std::filesystem::create_directory(cache / "folder");
  EXPECT_EQ(CacheFiles::size(root.path()), (CacheFiles::Size{2, 9 + 2}));

  CacheFiles::clear(root.path());
  EXPECT_EQ(CacheFiles::size(root.path()), (CacheFiles::Size{0, 0}));
  EXPECT_TRUE(std::filesystem::is_directory(cache));
  EXPECT_TRUE(std::filesystem::exists(cache / ".pruned"));
  EXPECT_TRUE(std::filesystem::exists(cache / "notes.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(cache / "folder"));

  // A root without a cache directory measures (0, 0) and gets one when cleared.
  TempDir empty;
  EXPECT_EQ(CacheFiles::size(empty.path()), (CacheFiles::Size{0, 0}));
  CacheFiles::clear(empty.path());
  EXPECT_TRUE(std::filesystem::is_directory(empty / "cache"));
  EXPECT_EQ(testing::modeOf(empty / "cache"), 0700u);
}

TEST(CacheFiles, ACacheFileThatIsALinkReadsAsNothing) {
  // A planted link must not make another JSON file's content appear as a translation.
  TempDir root;
  Paths::ensureDirectory(root / "cache");
  writeFile(root / "other.json", R"({"Hello": "planted"})");
  std::filesystem::create_symlink(root / "other.json", root / "cache/key.json");
  EXPECT_EQ(CacheFiles::read(root / "cache", "key"), std::nullopt);
  // Storing replaces the link itself, never what it points at.
  ASSERT_TRUE(CacheFiles::write(root / "cache", "key", {{"Hello", "Hola"}}));
  EXPECT_FALSE(std::filesystem::is_symlink(root / "cache/key.json"));
  EXPECT_EQ(readFile(root / "other.json"), R"({"Hello": "planted"})");
  EXPECT_EQ(CacheFiles::read(root / "cache", "key"), (TranslationDict{{"Hello", "Hola"}}));
}

TEST(CacheFiles, AHugeFileIsRefusedBySizeAndReplaced) {
  TempDir root;
  Paths::ensureDirectory(root / "cache");
  const auto file = root / "cache/key.json";
  {
    // 1 GB without the disk space: a sparse file.
    FileIO::Descriptor fd(::open(file.c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::ftruncate(fd.get(), int64_t{1} << 30), 0);
  }
  // Refused by its size before anything is read or allocated.
  auto direct = FileIO::readAt(AT_FDCWD, file.string(), CacheFiles::kMaxFileBytes);
  EXPECT_EQ(direct.status, FileIO::ReadStatus::tooLarge);
  EXPECT_EQ(direct.content.capacity(), std::string().capacity());
  EXPECT_EQ(CacheFiles::read(root / "cache", "key"), std::nullopt);
  ASSERT_TRUE(CacheFiles::write(root / "cache", "key", {{"a", "b"}}));
  EXPECT_EQ(CacheFiles::read(root / "cache", "key"), (TranslationDict{{"a", "b"}}));
}

TEST(CacheFiles, ACacheOthersCanChangeIsNotUsed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
  struct Case {
    const char* name;
    void (*spoil)(const std::filesystem::path& root);
  };
  const Case kCases[] = {
      {"root owned by another user", [](auto& r) { ASSERT_EQ(::chown(r.c_str(), kOtherUser, kOtherUser), 0); }},
      {"root writable by others", [](auto& r) { ASSERT_EQ(::chmod(r.c_str(), 0777), 0); }},
      {"cache owned by another user",
       [](auto& r) { ASSERT_EQ(::chown((r / "cache").c_str(), kOtherUser, kOtherUser), 0); }},
      {"cache writable by group", [](auto& r) { ASSERT_EQ(::chmod((r / "cache").c_str(), 0770), 0); }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    Paths::ensureDirectory(root / "cache");
    writeFile(root / "cache" / keyName('a'), R"({"Hello": "planted"})");
    c.spoil(root.path());
    EXPECT_EQ(CacheFiles::read(root / "cache", keyName('a').substr(0, 35)), std::nullopt);
    EXPECT_FALSE(CacheFiles::write(root / "cache", "key", {{"a", "b"}}));
    EXPECT_EQ(CacheFiles::size(root.path()), (CacheFiles::Size{0, 0}));
    CacheFiles::clear(root.path());
    CacheFiles::remove(root / "cache", keyName('a').substr(0, 35));
    EXPECT_TRUE(std::filesystem::exists(root / "cache" / keyName('a')));
    EXPECT_FALSE(std::filesystem::exists(root / "cache/key.json"));
  }
}

}  // namespace
}  // namespace qy
