// The X-Quillory-Status field of `decode --status-header`: encoded words that decode back to the
// banner whole, lines within 76 columns, its place at the top, and the rest of the message kept.
#include "extension/commands/status_header.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::runProcess;
using testing::TempDir;

std::string unbase64(std::string_view text) {
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  EXPECT_GE(n, 0) << text;
  size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

bool validUTF8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

// What a reader makes of the field: its lines, and the value unfolded with each run of encoded
// words decoded (the space between two encoded words is not part of the text).
struct ReadField {
  std::vector<std::string> lines;
  std::string value;
};

ReadField readField(const std::string& field, std::string_view newline,
                    std::string_view name = kStatusFieldName) {
  ReadField read;
  size_t at = 0;
  while (at < field.size()) {
    size_t end = field.find(newline, at);
    EXPECT_NE(end, std::string::npos) << "the field ends with a line break";
    if (end == std::string::npos) break;
    read.lines.push_back(field.substr(at, end - at));
    at = end + newline.size();
  }
  std::string unfolded;
  for (const auto& line : read.lines) unfolded += line;
  const std::string prefix = std::string(name) + ":";
  EXPECT_EQ(unfolded.substr(0, prefix.size()), prefix);
  bool previousEncoded = false;
  size_t i = prefix.size();
  while (i < unfolded.size()) {
    EXPECT_EQ(unfolded[i], ' ');
    const size_t start = i + 1;
    size_t end = unfolded.find(' ', start);
    if (end == std::string::npos) end = unfolded.size();
    const std::string word = unfolded.substr(start, end - start);
    const bool encoded = word.rfind("=?UTF-8?B?", 0) == 0;
    if (encoded) {
      EXPECT_LE(word.size(), 75u) << word;
      EXPECT_EQ(word.substr(word.size() - 2), "?=");
      const std::string text = unbase64(word.substr(10, word.size() - 12));
      EXPECT_TRUE(validUTF8(text)) << "whole characters in each word: " << word;
      if (!previousEncoded && !read.value.empty()) read.value += ' ';
      read.value += text;
    } else {
      if (!read.value.empty()) read.value += ' ';
      read.value += word;
    }
    previousEncoded = encoded;
    i = end;
  }
  return read;
}

TEST(StatusHeader, EncodesTheBannerIntoFoldedWordsThatReadBackWhole) {
  struct Case { const char* name; std::string note; std::optional<std::string> banner; std::string want; };
  std::string longBanner = "系统翻译出错：Apertium（eng-spa）的进程意外退出，";
  for (int i = 0; i < 6; ++i) longBanner += "已翻译的段落保留，其余的段落下次打开邮件时重新翻译。";
  const Case kCases[] = {
      {"short banner", "translated", "已翻译为西班牙语", "translated; 已翻译为西班牙语"},
      {"no banner", "off", std::nullopt, "skipped; 翻译已关闭"},
      {"empty note", "", std::nullopt, "skipped"},
      {"a skip reason", "签名或加密邮件", std::nullopt, "skipped; 签名或加密邮件"},
      {"long mixed banner", "error", longBanner, "error; " + longBanner},
      {"four-byte characters", "translated", "已翻译 😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀",
       "translated; 已翻译 😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀"},
      {"note that looks like an encoded word", "=?x?", std::nullopt, "skipped; =?x?"},
      {"a word longer than a line", std::string(100, ':'), std::nullopt, "skipped; " + std::string(100, ':')},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Engine::Result result;
    result.note = c.note;
    result.banner = c.banner;
    for (std::string_view newline : {"\n", "\r\n"}) {
      const std::string field = statusHeaderField(result, newline);
      ReadField read = readField(field, newline);
      EXPECT_EQ(read.value, c.want);
      for (const auto& line : read.lines) {
        EXPECT_LE(line.size(), 76u) << line;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
      }
      for (size_t i = 1; i < read.lines.size(); ++i) EXPECT_EQ(read.lines[i][0], ' ');
    }
  }
  Engine::Result result;
  result.note = "error";
  result.banner = longBanner;
  EXPECT_GT(readField(statusHeaderField(result, "\n"), "\n").lines.size(), 4u) << "folded";
}

// Filter rules match on the keyword, so every outcome has one.
TEST(StatusHeader, EveryValueStartsWithAnOutcomeKeyword) {
  struct Case { const char* note; std::optional<std::string> banner; const char* keyword; std::string text; };
  const Case kCases[] = {
      {"translated", "已翻译为西班牙语", "translated", "已翻译为西班牙语"},
      {"translated", "已翻译为西班牙语（邮件太长，只翻了前面一部分）", "partial",
       "已翻译为西班牙语（邮件太长，只翻了前面一部分）"},
      {"partial", "正在翻译为西班牙语… 1/3", "pending", "正在翻译为西班牙语… 1/3"},
      {"error", "翻译未完成（0/1）：翻译程序 mt 意外退出", "error", "翻译未完成（0/1）：翻译程序 mt 意外退出"},
      {"签名或加密邮件", std::nullopt, "skipped", "签名或加密邮件"},
      {"已是目标语言", std::nullopt, "skipped", "已是目标语言"},
      {"没有文字正文", std::nullopt, "skipped", "没有文字正文"},
      {"邮件太大", std::nullopt, "skipped", "邮件太大"},
      {"翻译已关闭", std::nullopt, "skipped", "翻译已关闭"},
      {"off", std::nullopt, "skipped", "翻译已关闭"},
      {"dark", std::nullopt, "skipped", "未翻译，只调整了深色显示"},
      {"offer", "这封邮件是英语", "skipped", "这封邮件是英语（设置为手动翻译）"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.note);
    Engine::Result result;
    result.note = c.note;
    result.banner = c.banner;
    const StatusValue value = statusValue(result);
    EXPECT_EQ(value.keyword, c.keyword);
    EXPECT_EQ(value.text, c.text);
    EXPECT_EQ(readField(statusHeaderField(result, "\n"), "\n").value, std::string(c.keyword) + "; " + c.text);
  }
}

TEST(StatusHeader, GoesOnTopAndDropsOnlyTheSendersOwnStatusFields) {
  Engine::Result result;
  result.note = "translated";
  result.banner = "已翻译为西班牙语";
  const std::string lf = statusHeaderField(result, "\n");
  const std::string crlf = statusHeaderField(result, "\r\n");
  struct Case { const char* name; std::string message, want; };
  const Case kCases[] = {
      {"LF message", "Subject: a\n\nbody\n", lf + "Subject: a\n\nbody\n"},
      {"CRLF message", "Subject: a\r\n\r\nbody\r\n", crlf + "Subject: a\r\n\r\nbody\r\n"},
      {"forged field with continuation, any case",
       "x-quillory-STATUS: translated;\n =?UTF-8?B?5bey57+76K+R?=\nSubject: a\n\nbody\n",
       lf + "Subject: a\n\nbody\n"},
      {"forged field with a blank before the colon", "X-Quillory-Status : done\nSubject: a\n\nb",
       lf + "Subject: a\n\nb"},
      {"a field of a longer name stays", "X-Quillory-Status-Seen: 1\n\nb", lf + "X-Quillory-Status-Seen: 1\n\nb"},
      {"the same name in the body stays", "Subject: a\n\nX-Quillory-Status: mine\n",
       lf + "Subject: a\n\nX-Quillory-Status: mine\n"},
      {"no body", "Subject: a\n", lf + "Subject: a\n"},
      {"empty message", "", lf},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(withStatusHeader(c.message, result), c.want);
  }
}

TEST(StatusHeader, TheTranslatedSubjectFollowsTheStatusAndReplacesTheSendersOwn) {
  Engine::Result result;
  result.note = "translated";
  result.banner = "已翻译为中文";
  std::string subject = "季度报告：";
  for (int i = 0; i < 8; ++i) subject += "销售额在第三季度再次上升";
  result.subject = subject;
  const std::string status = statusHeaderField(result, "\n");
  const std::string field = subjectHeaderField(subject, "\n");
  ReadField read = readField(field, "\n", kSubjectFieldName);
  EXPECT_EQ(read.value, subject);
  EXPECT_GT(read.lines.size(), 2u) << "folded";
  for (const auto& line : read.lines) EXPECT_LE(line.size(), 76u) << line;
  EXPECT_EQ(withStatusHeader("X-Quillory-Subject: forged\n =?UTF-8?B?5bey?=\nSubject: Q\n\nb", result),
            status + field + "Subject: Q\n\nb");
  result.subject.reset();
  EXPECT_EQ(withStatusHeader("Subject: Q\n\nb", result), status + "Subject: Q\n\nb");
}

TEST(StatusHeader, DecodeAddsItOnlyWhenAskedAndChangesNothingElse) {
  TempDir home;
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  const std::string envelope = "From a@b Tue Dec  8 09:14:20 2026\n";
  const std::string message = "Subject: x\nMIME-Version: 1.0\n\nThis is a message about the weather.\n";
  struct Case { const char* name; std::string config, wantStart; };
  const Case kCases[] = {
      // Nothing to do: the received bytes, with the field on top.
      {"translation off", R"({"mode": "off", "darkMode": "off"})", "X-Quillory-Status: skipped; "},
      // A rewritten message: its own bytes after the field.
      {"no engine for the target", R"({"targetLanguage": "ar"})", "X-Quillory-Status: "},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    testing::writeFile(home / "config.json", c.config);
    auto plain = runProcess({QY_EXT_BINARY, "decode"}, envelope + message, env);
    auto marked = runProcess({QY_EXT_BINARY, "decode", "--status-header"}, envelope + message, env);
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(marked.status, 0) << marked.err;
    ASSERT_EQ(marked.out.rfind(envelope + c.wantStart, 0), 0u) << marked.out;
    const size_t fieldEnd = marked.out.find("\n", envelope.size());
    size_t end = fieldEnd;
    while (marked.out[end + 1] == ' ') end = marked.out.find('\n', end + 1);
    EXPECT_EQ(envelope + marked.out.substr(end + 1), plain.out) << "byte for byte";
  }
  // Without the flag: the received message exactly, as before.
  testing::writeFile(home / "config.json", R"({"mode": "off", "darkMode": "off"})");
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "decode"}, envelope + message, env).out, envelope + message);
}

}  // namespace
}  // namespace qy
