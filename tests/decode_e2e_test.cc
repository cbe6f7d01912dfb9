// End to end: real messages through `quillory-ext decode` with Apertium translating into Spanish.
// The rebuilt message keeps every byte outside the replaced text part, and its new HTML body
// holds each source paragraph with its translation.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/mime/mime.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::readFile;
using testing::runProcess;
using testing::TempDir;

struct Decoded {
  std::string message;
  std::string html;     // the new text part, decoded
  std::string before;   // the bytes before the replaced part's header
  std::string after;    // the bytes after its body
};

Decoded decodeWith(const std::string& input, const std::string& config, TempDir& home) {
  testing::writeFile(home / "config.json", config);
  auto run = runProcess({QY_EXT_BINARY, "decode"}, input, {{"QY_HOME", home.path().string()}});
  EXPECT_EQ(run.status, 0) << run.err;
  Decoded decoded;
  decoded.message = run.out;
  // A leading envelope line is not part of the message.
  const size_t start = run.out.rfind("From ", 0) == 0 ? run.out.find('\n') + 1 : 0;
  const std::string message = run.out.substr(start);
  ByteView bytes(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  auto root = MIME::parse(bytes);
  const MIMEPart* part = MIME::findTextPart(*root);
  if (!part) return decoded;
  EXPECT_EQ(part->type(), "text/html");
  decoded.html = MIME::decodeString(MIME::decodeBody(bytes, *part), "utf-8", true);
  decoded.before = message.substr(0, part->headerRange().begin);
  decoded.after = message.substr(part->bodyRange().end);
  return decoded;
}

TEST(DecodeEndToEnd, PlainTextMailIsTranslatedIntoSpanish) {
  TempDir home;
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  Decoded out = decodeWith(input, R"({"targetLanguage": "es"})", home);
  // The root is the text part: its other header fields come back byte for byte, in order.
  const std::string originalHeader = input.substr(0, input.find("MIME-Version: 1.0\n"));
  EXPECT_EQ(out.message.substr(0, originalHeader.size()), originalHeader);
  EXPECT_NE(out.message.find("\nContent-Type: text/html; charset=utf-8\n"
                             "Content-Transfer-Encoding: base64\n\n"),
            std::string::npos);
  for (const char* source : {"Hello,", "Could you send me the slides before Friday?",
                             "&gt; When does the first session start?", "Best regards,\nMaria"}) {
    EXPECT_NE(out.html.find(source), std::string::npos) << source;
  }
  for (const char* spanish : {"Hola,", "He reservado el tren", "viernes", "una cena"}) {
    EXPECT_NE(out.html.find(spanish), std::string::npos) << spanish;
  }
  EXPECT_NE(readFile(home / "qy.log").find("B -> translated 6/6 segments mode=bilingual"),
            std::string::npos);
  // The translations are cached: the cache holds one file for the message's key (beside the
  // stamp of its pruning).
  std::vector<std::string> names;
  for (auto& entry : std::filesystem::directory_iterator(home / "cache"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], ".pruned");
  EXPECT_EQ(names[1].size(), std::string("0123456789abcdef01234567-0123456789.json").size());
}

TEST(DecodeEndToEnd, HtmlNewsletterIsTranslatedAndRecoloured) {
  TempDir home;
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/newsletter-en.eml");
  Decoded out = decodeWith(input, R"({"targetLanguage": "es", "darkMode": "on"})", home);
  // Everything outside the HTML part, the plain alternative included, is unchanged.
  const size_t htmlPart = input.find("Content-Type: text/html");
  EXPECT_EQ(out.before, input.substr(0, htmlPart));
  EXPECT_EQ(out.after, input.substr(input.find("\n--=_alt_7f3a--")));
  EXPECT_NE(out.html.find("December news from the Harbour Library<span class=\"qy-tr\""),
            std::string::npos);
  EXPECT_NE(out.html.find("Biblioteca"), std::string::npos);
  EXPECT_NE(out.html.find("<a href=\"https://library.example.org/programme\">full programme</a>"),
            std::string::npos);
  EXPECT_NE(out.html.find("<p style=\"display:none\">Hidden preview text for mail clients</p>"),
            std::string::npos);
  EXPECT_NE(out.html.find("<style data-qy-dark>"), std::string::npos);
  EXPECT_NE(out.html.find("background-color:var(--qy-"), std::string::npos);
  EXPECT_EQ(out.html.find("Hidden preview text for mail clients<span"), std::string::npos);
}

TEST(DecodeEndToEnd, ARegionalTargetWithoutItsOwnEngineSaysWhatWasUsed) {
  // Apertium has English into Spanish, but no Mexican variant: the plain pair translates, and
  // the banner names the language the mail is now in.
  TempDir home;
  const std::string input = readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  testing::writeFile(home / "config.json", R"({"targetLanguage": "es-MX"})");
  auto run = runProcess({QY_EXT_BINARY, "decode", "--json", "--wait", "1e9"}, input,
                        {{"QY_HOME", home.path().string()}});
  ASSERT_EQ(run.status, 0) << run.err;
  auto result = nlohmann::json::parse(run.out);
  EXPECT_EQ(result["note"], "translated");
  EXPECT_EQ(result["banner"], "已翻译为西班牙语");
}

TEST(DecodeEndToEnd, EnvelopeLineIsPutBackInFront) {
  TempDir home;
  const std::string envelope = "From maria.keller@example.org Tue Dec  8 09:14:20 2026\n";
  const std::string input =
      envelope + readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  Decoded out = decodeWith(input, R"({"targetLanguage": "es"})", home);
  ASSERT_EQ(out.message.substr(0, envelope.size()), envelope);
  EXPECT_EQ(out.message.substr(envelope.size(), 12), "Return-Path:");
  EXPECT_NE(out.html.find("Hola,"), std::string::npos);

  auto json = runProcess({QY_EXT_BINARY, "decode", "--json", "--wait", "0"}, input,
                         {{"QY_HOME", home.path().string()}});
  auto result = nlohmann::json::parse(json.out);
  EXPECT_EQ(result["note"], "translated");  // cached by the first run
  EXPECT_EQ(result["banner"], "已翻译为西班牙语");
}

}  // namespace
}  // namespace qy
