// Signed and encrypted mail is never rewritten, wherever the signature sits in the tree: a body
// inside a signed or encrypted entity, or one carrying inline OpenPGP armor, is refused as a
// signed root is; a body outside every signed entity is still translated.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/mime/mime.h"
#include "support/corpus.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::EngineFixture;

Config spanish() {
  Config cfg;
  cfg.targetLanguage = "es";
  return cfg;
}

const std::string kSignedPart =
    "Content-Type: multipart/signed; boundary=\"s\"; micalg=pgp-sha256;\n"
    " protocol=\"application/pgp-signature\"\n\n"
    "--s\nContent-Type: text/plain; charset=us-ascii\n\n"
    "We are pleased to announce the availability of a new release.\n"
    "--s\nContent-Type: application/pgp-signature\n\n"
    "-----BEGIN PGP SIGNATURE-----\n\niQEzBAEBCAAdFiEE\n-----END PGP SIGNATURE-----\n"
    "--s--\n";

std::string mixed(const std::string& first, const std::string& second) {
  return "From: list@example.org\nSubject: Release\nMIME-Version: 1.0\n"
         "Content-Type: multipart/mixed; boundary=\"m\"\n\n--m\n" + first + "\n--m\n" + second +
         "\n--m--\n";
}

const std::string kFooter =
    "Content-Type: text/plain; charset=\"us-ascii\"\n\n"
    "Announcements mailing list, where you can read about every new release.\n";

TEST(MessageSecurity, BodiesInsideSignedEntitiesOrWithInlineArmorAreRefused) {
  struct Case { const char* name; std::string message; };
  const Case kCases[] = {
      {"list post: the signed message inside the list's mixed part", mixed(kSignedPart, kFooter)},
      {"signed alternative under mixed",
       mixed("Content-Type: multipart/signed; boundary=\"s\"\n\n--s\n"
             "Content-Type: multipart/alternative; boundary=\"a\"\n\n--a\nContent-Type: text/plain\n\n"
             "Good morning to the whole team.\n--a\nContent-Type: text/html\n\n"
             "<p>Good morning to the whole team.</p>\n--a--\n--s\n"
             "Content-Type: application/pgp-signature\n\nxx\n--s--",
             kFooter)},
      {"list post with an HTML footer", mixed(kSignedPart, "Content-Type: text/html\n\n<p>Announcements list</p>")},
      {"S/MIME opaque part before the footer",
       mixed("Content-Type: application/x-pkcs7-mime; smime-type=signed-data\n\n"
             "Good morning to the whole team.", kFooter)},
      {"inline signed text",
       "Subject: Key\nContent-Type: text/plain\n\n-----BEGIN PGP SIGNED MESSAGE-----\nHash: SHA256\n\n"
       "The meeting moves to Thursday afternoon.\n-----BEGIN PGP SIGNATURE-----\nxx\n"
       "-----END PGP SIGNATURE-----\n"},
      {"inline cipher text after a greeting, CRLF",
       "Subject: Key\r\nContent-Type: text/plain\r\n\r\nHello there, the file follows.\r\n\r\n"
       "-----BEGIN PGP MESSAGE-----\r\n\r\nhQIOAwTJ0obO8knpEAgAiSHHrzUzh9J4QwDZp4ztLgjk\r\n"
       "-----END PGP MESSAGE-----\r\n"},
      {"inline armor in HTML after a tag",
       "Subject: Key\nContent-Type: text/html\n\n<p>Hello there, the file follows.</p>"
       "<pre>-----BEGIN PGP MESSAGE-----\nhQIOAwTJ0obO8knpEAgA\n-----END PGP MESSAGE-----</pre>"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EngineFixture f;
    f.setConfig(spanish());
    auto result = f.process(c.message);
    EXPECT_EQ(result.note, "签名或加密邮件");
    EXPECT_FALSE(result.data);
    EXPECT_EQ(result.banner, Engine::kKeptAsItIs);  // shown as it arrived, and said so
    EXPECT_TRUE(result.context.empty());
    EXPECT_EQ(f.translator().runs(), 0);
  }
}

TEST(MessageSecurity, ABodyOutsideEverySignedEntityIsTranslatedAndTheSignedBytesStay) {
  struct Case { const char* name; std::string message; std::string kept; };
  const Case kCases[] = {
      {"cover note beside a signed part",
       mixed("Content-Type: text/plain\n\nPlease find the signed release notes attached below.",
             kSignedPart),
       kSignedPart},
      {"cover note beside a signed HTML part",
       mixed("Content-Type: text/plain\n\nPlease find the signed release notes attached below.",
             "Content-Type: multipart/signed; boundary=\"s\"\n\n--s\nContent-Type: text/html\n\n"
             "<p>We are pleased to announce a new release.</p>\n--s\n"
             "Content-Type: application/pgp-signature\n\nxx\n--s--"),
       "<p>We are pleased to announce a new release.</p>\n--s\n"},
      {"armor markers inside a line are no armor",
       "Subject: Keys\nContent-Type: text/plain\n\n"
       "Paste your key after the -----BEGIN PGP MESSAGE----- line, please.\n",
       ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EngineFixture f;
    f.setConfig(spanish());
    auto result = f.process(c.message);
    EXPECT_EQ(result.note, "translated");
    ASSERT_TRUE(result.data);
    const std::string out(result.data->begin(), result.data->end());
    EXPECT_NE(out.find(c.kept), std::string::npos) << "the signed entity byte for byte";
  }
}

TEST(MessageSecurity, RealSignedListPostAndInlineEncryptedMailAreLeftAlone) {
  QY_SKIP_WITHOUT_CORPUS();
  const std::filesystem::path eml = std::filesystem::path(QY_CORPUS_DIR) / "eml";
  for (const char* name : {"mk__Announce_GnuPG_2.1.20_released.eml", "gm__encrypted-message.eml"}) {
    SCOPED_TRACE(name);
    EngineFixture f;
    f.setConfig(spanish());
    auto result = f.process(testing::readFile(eml / name));
    EXPECT_EQ(result.note, "签名或加密邮件");
    EXPECT_FALSE(result.data);
  }
}

}  // namespace
}  // namespace qy
