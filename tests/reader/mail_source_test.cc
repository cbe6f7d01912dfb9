// Mail sources on real files: Maildir folders, mbox splitting, .eml folders, and mail that
// arrives while the reader runs.
#include "hosts/reader/mail_source.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "hosts/reader/mbox.h"
#include "support/temp_dir.h"

namespace qy::reader {
namespace {

namespace fs = std::filesystem;
using qy::testing::TempDir;
using qy::testing::writeFile;

std::string message(std::string_view subject, std::string_view date, std::string_view body = "Hi.\n") {
  return "From: =?utf-8?B?5byg5LiJ?= <zs@example.cn>\nSubject: " + std::string(subject) + "\nDate: " +
         std::string(date) + "\n\n" + std::string(body);
}

std::vector<std::string> subjects(const std::vector<MessageSummary>& list) {
  std::vector<std::string> out;
  for (const auto& m : list) out.push_back(m.folder.empty() ? m.subject : m.folder + ":" + m.subject);
  return out;
}

TEST(Mbox, SplitsAtEnvelopeLinesAndUnquotesFrom) {
  const std::string file =
      "From a@example.com Thu Dec 10 08:00:00 2026\n"
      "Subject: one\n\nHello\nFrom inside a paragraph\n>From here on\n>>From deeper\n\n"
      "From b@example.com Thu Dec 10 09:00:00 2026\r\n"
      "Subject: two\r\n\r\nbody\r\n\r\n";
  const auto messages = splitMbox(file);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].envelope, "From a@example.com Thu Dec 10 08:00:00 2026");
  // Only a "From " line after an empty line starts a message; quoted ones lose one '>'.
  EXPECT_EQ(messages[0].bytes,
            "Subject: one\n\nHello\nFrom inside a paragraph\nFrom here on\n>From deeper\n");
  EXPECT_EQ(messages[1].offset, file.find("From b@"));
  EXPECT_EQ(messages[1].envelope, "From b@example.com Thu Dec 10 09:00:00 2026");
  EXPECT_EQ(messages[1].bytes, "Subject: two\r\n\r\nbody\r\n");
}

TEST(Mbox, TextBeforeTheFirstEnvelopeAndEmptyFilesHoldNoMessage) {
  EXPECT_TRUE(splitMbox("").empty());
  EXPECT_TRUE(splitMbox("Subject: no envelope\n\nbody\n").empty());
  const auto one = splitMbox("junk\n\nFrom x Thu Dec 10 08:00:00 2026\nSubject: s\n\nb");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].bytes, "Subject: s\n\nb");
}

TEST(MailSource, MaildirListsFoldersNewestFirstAndSeesNewMail) {
  TempDir dir;
  for (const char* sub : {"new", "cur", "tmp", ".Archive.2024/cur", ".Archive.2024/new", "Lists/dev/cur"})
    fs::create_directories(dir.path() / sub);
  writeFile(dir / "cur/100.a:2,S", message("read", "Thu, 10 Dec 2026 08:00:00 +0000"));
  writeFile(dir / "new/200.b", message("unread", "Thu, 10 Dec 2026 09:00:00 +0000"));
  writeFile(dir / "tmp/300.c", message("being delivered", "Thu, 10 Dec 2026 10:00:00 +0000"));
  writeFile(dir / ".Archive.2024/cur/50.d:2,", message("old", "Mon, 01 Jan 2024 00:00:00 +0000"));
  writeFile(dir / "Lists/dev/cur/60.e:2,S", message("list", "Tue, 02 Jan 2024 00:00:00 +0000"));

  auto source = MailSource::open(dir.path());
  ASSERT_TRUE(source);
  EXPECT_EQ(source->kind(), MailSource::Kind::maildir);
  auto list = source->list();
  EXPECT_EQ(subjects(list), (std::vector<std::string>{"unread", "read", "Lists/dev:list", "Archive/2024:old"}));
  EXPECT_TRUE(list[0].unread);
  EXPECT_FALSE(list[1].unread);
  EXPECT_TRUE(list[3].unread);  // in cur/ but without the "S" flag
  EXPECT_EQ(list[0].from, "张三");
  EXPECT_EQ(list[0].size, message("unread", "Thu, 10 Dec 2026 09:00:00 +0000").size());

  // Delivery while running: a new file, and a message moved from new/ to cur/ with a flag keeps
  // its id and can still be read.
  const std::string id = list[0].id;
  writeFile(dir / "new/400.f", message("arrived", "Thu, 10 Dec 2026 11:00:00 +0000"));
  fs::rename(dir / "new/200.b", dir / "cur/200.b:2,S");
  list = source->list();
  EXPECT_EQ(subjects(list)[0], "arrived");
  EXPECT_EQ(list[1].id, id);
  EXPECT_FALSE(list[1].unread);
  const auto bytes = source->read(id);
  ASSERT_TRUE(bytes);
  EXPECT_NE(bytes->find("Subject: unread"), std::string::npos);
}

TEST(MailSource, ReadTakesOnlyListedIds) {
  TempDir dir;
  fs::create_directories(dir / "mail/new");
  writeFile(dir / "mail/new/1.a", message("one", "Thu, 10 Dec 2026 08:00:00 +0000"));
  writeFile(dir / "secret.eml", "not mail of this source");
  auto source = MailSource::open(dir / "mail");
  ASSERT_TRUE(source);
  ASSERT_EQ(source->list().size(), 1u);
  for (const char* id : {"../secret.eml", "/etc/passwd", "new/1.a", ""}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(source->read(id));
  }
  EXPECT_TRUE(source->read("1.a"));
}

TEST(MailSource, MboxMessagesWithoutEnvelopeAndAppendedOnesKeepIds) {
  TempDir dir;
  const fs::path path = dir / "inbox.mbox";
  writeFile(path, "From a Thu Dec 10 08:00:00 2026\n" + message("first", "Thu, 10 Dec 2026 08:00:00 +0000") +
                      "\nFrom b Thu Dec 10 09:00:00 2026\n" + message("second", "Thu, 10 Dec 2026 09:00:00 +0000"));
  auto source = MailSource::open(path);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->kind(), MailSource::Kind::mbox);
  auto list = source->list();
  ASSERT_EQ(subjects(list), (std::vector<std::string>{"second", "first"}));
  const std::string firstId = list[1].id;
  const auto bytes = source->read(firstId);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, message("first", "Thu, 10 Dec 2026 08:00:00 +0000"));

  // Appending changes the file's size, so the next list sees the new message.
  std::string all = qy::testing::readFile(path);
  writeFile(path, all + "\nFrom c Thu Dec 10 10:00:00 2026\n" + message("third", "Thu, 10 Dec 2026 10:00:00 +0000"));
  list = source->list();
  ASSERT_EQ(subjects(list), (std::vector<std::string>{"third", "second", "first"}));
  EXPECT_EQ(list[2].id, firstId);
}

TEST(MailSource, EmlFolderWithSubfoldersAndFallbackTime) {
  TempDir dir;
  fs::create_directories(dir / "work");
  writeFile(dir / "a.eml", message("=?utf-8?Q?caf=C3=A9?=", "Thu, 10 Dec 2026 08:00:00 +0000"));
  writeFile(dir / "work/b.EML", message("undated", "not a date"));
  writeFile(dir / "notes.txt", "not mail");
  const struct timespec times[2] = {{0, UTIME_OMIT}, {1900000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "work/b.EML").c_str(), times, 0), 0);
  auto source = MailSource::open(dir.path());
  ASSERT_TRUE(source);
  EXPECT_EQ(source->kind(), MailSource::Kind::emlFolder);
  const auto list = source->list();
  // The undated message sorts by its file's time, after 2026.
  EXPECT_EQ(subjects(list), (std::vector<std::string>{"work:undated", "café"}));
  EXPECT_EQ(list[0].time, 1900000000);
}

TEST(MailSource, SummariesAsAMailClientShowsThem) {
  struct Case { std::string_view name, bytes, from, subject; };
  const Case kCases[] = {
      // A display name whose encoded text holds a comma is one name, not the end of a list.
      {"encoded comma", "From: =?utf-8?Q?Smith=2C_John?= <j@example.com>, b@example.com\nSubject: s\n\n",
       "Smith, John", "s"},
      // A subject a sender wrote in Big5 without encoding it reads in the message's charset.
      {"raw big5", "From: a@example.tw\nSubject: \xa4\xa4\xa4\xe5\nContent-Type: text/html; charset=\"big5\"\n\n",
       "a@example.tw", "中文"},
      {"raw bytes, no charset", "From: a@example.tw\nSubject: caf\xe9\n\n", "a@example.tw", "caf\xef\xbf\xbd"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const MessageSummary s = summarize(c.bytes, 0);
    EXPECT_EQ(s.from, c.from);
    EXPECT_EQ(s.subject, c.subject);
  }
}

TEST(MailSource, MessageFilesSavedBehindAnEnvelopeLine) {
  TempDir dir;
  fs::create_directories(dir / "new");
  const std::string mail = message("saved", "Thu, 10 Dec 2026 08:00:00 +0000");
  writeFile(dir / "new/1.a", "From zs@example.cn Thu Dec 10 08:00:00 2026\n" + mail);
  auto source = MailSource::open(dir.path());
  ASSERT_TRUE(source);
  const auto list = source->list();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].subject, "saved");
  EXPECT_EQ(list[0].from, "张三");
  EXPECT_EQ(list[0].time, 1796889600);
  EXPECT_EQ(source->read(list[0].id), mail);
  EXPECT_EQ(withoutEnvelope("From: a@example.com\n\nbody"), "From: a@example.com\n\nbody");
}

TEST(MailSource, SymbolicLinksInTheFolderAreNotFollowed) {
  // Outside the mail folder: a directory of messages and one message file.
  TempDir outside;
  fs::create_directories(outside / "cur");
  writeFile(outside / "secret.eml", message("outside", "Thu, 10 Dec 2026 08:00:00 +0000"));
  writeFile(outside / "cur/1.a:2,S", message("outside", "Thu, 10 Dec 2026 08:00:00 +0000"));
  struct Case {
    const char* name;
    bool maildir;
    std::vector<std::pair<std::string, fs::path>> links;  // link inside → target
  };
  const Case kCases[] = {
      {"cur/ links to another directory", true, {{"cur", outside / "cur"}}},
      {"a message in new/ links to a file", true, {{"new/2.b", outside / "secret.eml"}}},
      {"a subfolder links to a maildir", true, {{".Archive", outside.path()}}},
      {"an .eml links to a file", false, {{"linked.eml", outside / "secret.eml"}}},
      {"a subfolder of .eml files links elsewhere", false, {{"more", outside.path()}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir mail;
    if (c.maildir) fs::create_directories(mail / "new");
    writeFile(mail / (c.maildir ? "new/1.a" : "own.eml"), message("own", "Thu, 10 Dec 2026 09:00:00 +0000"));
    for (const auto& [link, target] : c.links) fs::create_symlink(target, mail / link);
    auto source = MailSource::open(mail.path());
    ASSERT_TRUE(source);
    const auto list = source->list();
    EXPECT_EQ(subjects(list), std::vector<std::string>{"own"});
    for (const auto& m : list) EXPECT_TRUE(source->read(m.id));
  }
}

TEST(MailSource, NothingToOpen) {
  TempDir dir;
  EXPECT_FALSE(MailSource::open(dir / "missing"));
  EXPECT_FALSE(MailSource::open("/dev/null"));
}

}  // namespace
}  // namespace qy::reader
