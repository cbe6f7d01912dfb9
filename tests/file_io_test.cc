// Whole-file reads and atomic writes relative to a directory: links, FIFOs, size limits and the
// temporary names a killed writer leaves behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/base/file_io.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::TempDir;
using testing::writeFile;

TEST(FileIO, ReadsOnlyRegularFilesWithinTheLimit) {
  TempDir dir;
  writeFile(dir / "ten", "0123456789");
  writeFile(dir / "eleven", "0123456789A");
  std::filesystem::create_symlink(dir / "ten", dir / "link");
  std::filesystem::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);  // nobody writes: must not block
  struct Case { const char* name; FileIO::ReadStatus want; };
  const Case kCases[] = {
      {"ten", FileIO::ReadStatus::ok},          {"eleven", FileIO::ReadStatus::tooLarge},
      {"link", FileIO::ReadStatus::notRegular}, {"folder", FileIO::ReadStatus::notRegular},
      {"fifo", FileIO::ReadStatus::notRegular}, {"missing", FileIO::ReadStatus::missing},
  };
  FileIO::Descriptor directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto read = FileIO::readAt(directory.get(), c.name, 10);
    EXPECT_EQ(read.status, c.want);
    EXPECT_EQ(read.content, c.want == FileIO::ReadStatus::ok ? "0123456789" : "");
  }
}

TEST(FileIO, AtomicWriteReplacesALinkNotItsTarget) {
  TempDir dir;
  writeFile(dir / "victim", "precious");
  std::filesystem::create_symlink(dir / "victim", dir / "file");
  ASSERT_TRUE(FileIO::writeAtomically(dir / "file", "new", /*sync=*/false));
  EXPECT_EQ(readFile(dir / "victim"), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "file"));
  EXPECT_EQ(readFile(dir / "file"), "new");
  EXPECT_EQ(testing::modeOf(dir / "file"), 0600u);
  int entries = 0;
  for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 2);  // no temporary left
}

TEST(FileIO, TemporaryNamesNameTheirTarget) {
  EXPECT_EQ(FileIO::temporaryTarget(".config.json.a8Zq0P"), "config.json");
  EXPECT_EQ(FileIO::temporaryTarget("..json.000000"), ".json");
  for (const char* other : {"config.json", ".config.json", ".config.json.a8Zq0", ".config.json.a8Zq0Pp",
                            ".config.json.a8Zq-P", "..a8Zq0P", "x.config.json.a8Zq0P"}) {
    SCOPED_TRACE(other);
    EXPECT_EQ(FileIO::temporaryTarget(other), std::nullopt);
  }
}

TEST(FileIO, StaleTemporariesOfOurFilesAreRemoved) {
  TempDir dir;
  const auto now = std::chrono::system_clock::now();
  auto make = [&](const std::string& name, std::chrono::minutes age) {
    writeFile(dir / name, "x");
    std::filesystem::last_write_time(dir / name, std::chrono::file_clock::from_sys(now - age));
  };
  make(".config.json.Old001", std::chrono::minutes(120));
  make(".config.json.New001", std::chrono::minutes(10));
  make(".notes.txt.Old002", std::chrono::minutes(120));
  std::filesystem::create_directory(dir / ".config.json.Dir003");
  std::filesystem::last_write_time(dir / ".config.json.Dir003",
                                   std::chrono::file_clock::from_sys(now - std::chrono::hours(2)));
  FileIO::Descriptor directory(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  FileIO::removeStaleTemporaries(
      directory.get(), [](std::string_view target) { return target == "config.json"; },
      now - std::chrono::hours(1));
  EXPECT_FALSE(std::filesystem::exists(dir / ".config.json.Old001"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".config.json.New001"));
  EXPECT_TRUE(std::filesystem::exists(dir / ".notes.txt.Old002"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / ".config.json.Dir003"));
}

TEST(FileStamp, SeesReplacementAndPermissionChanges) {
  TempDir dir;
  writeFile(dir / "f", "a");
  const auto first = fileStamp(dir / "f");
  ASSERT_TRUE(first);
  EXPECT_EQ(fileStamp(dir / "f"), first);
  ::chmod((dir / "f").c_str(), 0644);
  EXPECT_NE(fileStamp(dir / "f"), first);  // only the permissions changed
  EXPECT_EQ(fileStamp(dir / "missing"), std::nullopt);
  std::filesystem::create_symlink("nowhere", dir / "link");
  EXPECT_TRUE(fileStamp(dir / "link"));  // the link itself
}

}  // namespace
}  // namespace qy
