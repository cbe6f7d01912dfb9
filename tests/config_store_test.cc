// Storage paths, the settings store and its stamp cache, and the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <map>
#include <thread>

#include "core/config/config_store.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::modeOf;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

auto envFrom(std::map<std::string, std::string> vars) {
  return [vars](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(Paths, RootComesFromQyHomeThenXdgThenHome) {
  EXPECT_EQ(Paths::resolveRoot(envFrom({{"QY_HOME", "/tmp/q"}}), "/home/u"), "/tmp/q");
  EXPECT_EQ(Paths::resolveRoot(envFrom({{"QY_HOME", ""}, {"XDG_DATA_HOME", "/d"}}), "/home/u"),
            "/d/Quillory");
  EXPECT_EQ(Paths::resolveRoot(envFrom({{"XDG_DATA_HOME", "rel/d"}}), "/home/u"),
            "/home/u/.local/share/Quillory");
  EXPECT_EQ(Paths::resolveRoot(envFrom({{"HOME", "/h"}}), std::nullopt),
            "/h/.local/share/Quillory");
  EXPECT_EQ(Paths::resolveRoot(envFrom({{"QY_HOME", "rel"}}), "/home/u"),
            std::filesystem::current_path() / "rel");
}

TEST(Paths, EnsureCreatesOwnerOnlyDirectories) {
  TempDir dir;
  Paths::ensureDirectory(dir / "a/b/cache");
  EXPECT_EQ(modeOf(dir / "a"), 0700u);
  EXPECT_EQ(modeOf(dir / "a/b/cache"), 0700u);
}

TEST(ConfigStore, SaveWritesOwnerOnlyFileThatLoadsBack) {
  TempDir dir;
  ConfigStore::Store store(dir / "root");
  Config cfg;
  cfg.mode = "replace";
  cfg.firstPaintSeconds = 0.1 + 0.2;
  ASSERT_TRUE(store.save(cfg));
  EXPECT_EQ(modeOf(dir / "root/config.json"), 0600u);
  EXPECT_EQ(modeOf(dir / "root"), 0700u);
  EXPECT_EQ(modeOf(dir / "root/cache"), 0700u);
  EXPECT_EQ(store.load(), cfg);
  EXPECT_EQ(store.reads(), 1);
  EXPECT_EQ(store.load(), cfg);  // unchanged stamp: not read again
  EXPECT_EQ(store.reads(), 1);
  // Nothing but config.json is left behind.
  int files = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir / "root")) ++files;
  EXPECT_EQ(files, 2);
}

TEST(ConfigStore, StampDecidesWhetherTheFileIsReadAgain) {
  TempDir dir;
  ConfigStore::Store store(dir.path());
  EXPECT_EQ(store.load(), Config{});  // missing file: defaults, stamp absent
  EXPECT_EQ(store.load(), Config{});  // both absent: equal, no read
  EXPECT_EQ(store.reads(), 1);

  writeFile(dir / "config.json", R"({"mode": "replace"})");
  EXPECT_EQ(store.load().mode, "replace");  // absent → present
  EXPECT_EQ(store.reads(), 2);

  // Replaced by another file with the same modification time (a copy that keeps its date):
  // still a change, the stamp holds the file's identity and change time too.
  struct stat before {};
  ::stat((dir / "config.json").c_str(), &before);
  writeFile(dir / "config.json.new", R"({"mode": "off"})");
  timespec times[2] = {before.st_atim, before.st_mtim};
  ::utimensat(AT_FDCWD, (dir / "config.json.new").c_str(), times, 0);
  std::filesystem::rename(dir / "config.json.new", dir / "config.json");
  EXPECT_EQ(store.load().mode, "off");
  EXPECT_EQ(store.reads(), 3);

  // The same file with a modification time one nanosecond later is a change.
  writeFile(dir / "config.json", R"({"mode": "replace"})");
  ::stat((dir / "config.json").c_str(), &before);
  EXPECT_EQ(store.load().mode, "replace");
  times[1] = before.st_mtim;
  times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
  ::utimensat(AT_FDCWD, (dir / "config.json").c_str(), times, 0);
  const int64_t readsBefore = store.reads();
  EXPECT_EQ(store.load().mode, "replace");
  EXPECT_EQ(store.reads(), readsBefore + 1);

  std::filesystem::remove(dir / "config.json");  // present → absent
  EXPECT_EQ(store.load(), Config{});
}

TEST(ConfigStore, BadFilesLoadAsDefaultsOnce) {
  TempDir dir;
  struct Case { const char* name; std::function<void(const std::filesystem::path&)> make; };
  const Case kCases[] = {
      {"malformed", [](auto& p) { writeFile(p, "{\"mode\": "); }},
      {"empty", [](auto& p) { writeFile(p, ""); }},
      {"array", [](auto& p) { writeFile(p, "[1, 2]"); }},
      {"50 MB of JSON", [](auto& p) { writeFile(p, "[" + std::string(50'000'000, '0') + "]"); }},
      {"directory", [](auto& p) { std::filesystem::create_directory(p); }},
      {"fifo", [](auto& p) { ::mkfifo(p.c_str(), 0600); }},
      {"dangling link", [](auto& p) { std::filesystem::create_symlink("nowhere", p); }},
      {"link to settings elsewhere", [](auto& p) {
         writeFile(p.parent_path() / "elsewhere.json", R"({"targetLanguage": "es"})");
         std::filesystem::create_symlink(p.parent_path() / "elsewhere.json", p);
       }},
      {"sparse 1 GB", [](auto& p) {
         writeFile(p, R"({"targetLanguage": "es"})");
         std::filesystem::resize_file(p, uintmax_t{1} << 30);
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir root;
    c.make(root / "config.json");
    ConfigStore::Store store(root.path());
    EXPECT_EQ(store.load(), Config{});
    EXPECT_EQ(store.load(), Config{});
    EXPECT_EQ(store.reads(), 1);
  }
}

TEST(ConfigStore, FailedSaveKeepsOldFileAndCache) {
  // Permissions do not stop root, so a regular file in the way of the directory stands in for
  // a root that cannot be created.
  TempDir dir;
  writeFile(dir / "blocker", "x");
  ConfigStore::Store impossible(dir / "blocker/root");  // a parent that is a file: cannot be created
  EXPECT_FALSE(impossible.save(Config{}));

  ConfigStore::Store store(dir.path());
  Config first;
  first.style = "plain";
  ASSERT_TRUE(store.save(first));
  EXPECT_EQ(store.load(), first);
  // Make the directory unusable for the temporary file by replacing the root with a file.
  std::filesystem::rename(dir.path(), dir.path().string() + ".moved");
  writeFile(dir.path(), "not a directory");
  Config second;
  second.style = "highlight";
  EXPECT_FALSE(store.save(second));
  std::filesystem::remove(dir.path());
  std::filesystem::rename(dir.path().string() + ".moved", dir.path());
  EXPECT_EQ(Config::decode(readFile(dir / "config.json")), first);
  EXPECT_EQ(store.load(), first);
  EXPECT_EQ(store.reads(), 1);  // cache left as it was

  // A wait JSON cannot hold is an encoding failure: the old file stays.
  for (double wait : {std::nan(""), double{INFINITY}}) {
    second.firstPaintSeconds = wait;
    EXPECT_FALSE(store.save(second));
  }
  EXPECT_EQ(Config::decode(readFile(dir / "config.json")), first);
  EXPECT_EQ(store.reads(), 1);
}

TEST(Log, LinesAreStampedInOrderAndOwnerOnly) {
  TempDir dir;
  {
    LogWriter log(dir / "qy.log", dir / "cache");
    log.write("first");
    log.write("two\nlines");
    log.write("bad \xFF byte");
  }  // destruction writes what is queued
  std::string text = readFile(dir / "qy.log");
  ASSERT_EQ(text.size(), 3 * 21 + std::string("first\ntwo\nlines\nbad \uFFFD byte\n").size());
  EXPECT_EQ(text.substr(20, 7), " first\n");
  EXPECT_EQ(text.substr(48, 10), "two\nlines\n");
  EXPECT_EQ(text.substr(79), "bad \uFFFD byte\n");  // the file stays UTF-8
  EXPECT_EQ(text[4], '-');
  EXPECT_EQ(text[10], 'T');
  EXPECT_EQ(text[19], 'Z');
  EXPECT_EQ(modeOf(dir / "qy.log"), 0600u);
  EXPECT_EQ(rfc3339(std::chrono::system_clock::from_time_t(1740816930)), "2025-03-01T08:15:30Z");
}

TEST(Log, RotatesOnlyAboveTwoMillionBytes) {
  for (int64_t size : {2'000'000, 2'000'001}) {
    SCOPED_TRACE(size);
    TempDir dir;
    writeFile(dir / "qy.log", std::string(static_cast<size_t>(size), 'x'));
    writeFile(dir / "qy.old.log", "older");
    LogWriter log(dir / "qy.log", dir / "cache");
    log.write("new");
    log.flush();
    if (size == 2'000'000) {
      EXPECT_EQ(std::filesystem::file_size(dir / "qy.log"), 2'000'000u + 25u);
      EXPECT_EQ(readFile(dir / "qy.old.log"), "older");
    } else {
      EXPECT_EQ(readFile(dir / "qy.log").substr(20), " new\n");
      EXPECT_EQ(std::filesystem::file_size(dir / "qy.old.log"), 2'000'001u);
    }
  }
}

TEST(Log, UnwritablePlacesLoseLinesWithoutBlocking) {
  TempDir dir;
  writeFile(dir / "file", "x");
  LogWriter log(dir / "file/sub/qy.log", dir / "file/sub/cache");
  for (int i = 0; i < 100; ++i) log.write("lost");
  log.flush();
  EXPECT_FALSE(std::filesystem::exists(dir / "file/sub"));

  // A FIFO nobody reads in the log's place: the line is dropped, the writer goes on.
  ASSERT_EQ(::mkfifo((dir / "qy.log").c_str(), 0600), 0);
  LogWriter fifo(dir / "qy.log", dir / "cache");
  fifo.write("lost");
  fifo.flush();
}

TEST(Log, ConcurrentWritersProduceWholeLines) {
  TempDir dir;
  {
    LogWriter a(dir / "qy.log", dir / "cache");
    LogWriter b(dir / "qy.log", dir / "cache");  // like a second process on the same file
    std::thread ta([&] { for (int i = 0; i < 500; ++i) a.write(std::string(300, 'a')); });
    std::thread tb([&] { for (int i = 0; i < 500; ++i) b.write(std::string(300, 'b')); });
    ta.join();
    tb.join();
  }
  std::string text = readFile(dir / "qy.log");
  size_t lines = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string body = text.substr(start + 21, end - start - 21);
    EXPECT_TRUE(body == std::string(300, 'a') || body == std::string(300, 'b'));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 1000u);
}

}  // namespace
}  // namespace qy
