// The settings record: tolerant decoding by key and type, encoding, equality, signature.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/config/config.h"
#include "core/config/lang_names.h"

namespace qy {
namespace {

std::string sig(std::string_view lang, std::string_view epoch, std::string_view mode) {
  std::string s;
  s.append(lang).append("\x01" "apple" "\x01" "system" "\x01").append(epoch).append("\x01").append(mode);
  return s;
}

TEST(Config, DefaultsAndTheirFile) {
  Config cfg;
  EXPECT_EQ(cfg.encode(),
            "{\n"
            "  \"accentColor\": \"#34A77A\",\n"
            "  \"autoReload\": true,\n"
            "  \"cacheEpoch\": 0,\n"
            "  \"darkBackground\": \"#1E1E1E\",\n"
            "  \"darkMode\": \"auto\",\n"
            "  \"firstPaintSeconds\": 2.5,\n"
            "  \"fontScale\": 100,\n"
            "  \"maxChars\": 60000,\n"
            "  \"mode\": \"bilingual\",\n"
            "  \"opacity\": 100,\n"
            "  \"style\": \"sidebar\",\n"
            "  \"targetLanguage\": \"zh-Hans\",\n"
            "  \"trigger\": \"auto\"\n"
            "}\n");
  EXPECT_EQ(Config::decode("{}"), cfg);
  EXPECT_EQ(cfg.translationSignature(), sig("zh-Hans", "0", "b"));
  EXPECT_EQ(cfg.translationSignature().size(), 24u);
}

TEST(Config, DecodingIsTolerantPerKey) {
  struct Case { const char* name; const char* json; Config want; };
  Config fontDefault;
  Config upper;
  upper.mode = "REPLACE";
  Config mixed;
  mixed.opacity = 40;
  mixed.fontScale = 120;
  mixed.firstPaintSeconds = 0.1;
  Config spaced;
  spaced.accentColor = "  #aabbcc ";
  const Case kCases[] = {
      {"string for integer", R"({"fontScale": "120"})", fontDefault},
      {"fraction for integer", R"({"fontScale": 120.5})", fontDefault},
      {"number for boolean", R"({"autoReload": 0})", fontDefault},
      {"null string", R"({"mode": null})", fontDefault},
      {"number for string", R"({"mode": 3})", fontDefault},
      {"object for string", R"({"mode": {"a": [1, 2]}})", fontDefault},
      {"past int64", R"({"maxChars": 9223372036854775808})", fontDefault},
      {"below int64, rounding to its minimum", R"({"cacheEpoch": -9223372036854775809})",
       fontDefault},
      {"unknown key ignored", R"({"colour": "red"})", fontDefault},
      {"case kept", R"({"mode": "REPLACE"})", upper},
      {"strings unchanged", R"({"accentColor": "  #aabbcc "})", spaced},
      {"zero fraction and others kept",
       R"({"fontScale": 120.0, "opacity": 40, "firstPaintSeconds": 0.1, "mode": false})", mixed},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto got = Config::decode(c.json);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, c.want);
  }
  for (const char* bad : {"", "[]", "3", "{", "\"x\"", "{\"mode\": \"\xFF\"}", "{\"a\": 1e400}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(Config::decode(bad));
  }
}

TEST(Config, EncodingReadsBackTheSameValues) {
  Config cfg;
  cfg.firstPaintSeconds = 0.1 + 0.2;  // needs 17 digits
  cfg.cacheEpoch = -3;
  cfg.maxChars = INT64_MIN;
  cfg.targetLanguage = "日本\"\\";
  auto back = Config::decode(cfg.encode());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, cfg);
  EXPECT_EQ(back->firstPaintSeconds, 0.1 + 0.2);
}

TEST(Config, SignatureFollowsLanguageEpochAndReplaceOnly) {
  auto cfg = Config::decode(R"({"cacheEpoch": -3, "targetLanguage": "en", "mode": "replace"})");
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->translationSignature(), sig("en", "-3", "r"));

  const std::string base = Config{}.translationSignature();
  Config other;
  other.style = "plain";
  other.accentColor = "#000000";
  other.fontScale = 90;
  other.opacity = 50;
  other.darkMode = "on";
  other.darkBackground = "#000";
  other.firstPaintSeconds = 0;
  other.maxChars = 1;
  other.autoReload = false;
  other.trigger = "manual";
  other.mode = "off";
  EXPECT_EQ(other.translationSignature(), base);
  other.mode = "REPLACE";
  EXPECT_EQ(other.translationSignature(), base);
}

TEST(Config, EqualityComparesEveryFieldAndCanonicalText) {
  Config a, b;
  b.maxChars = 1;
  EXPECT_NE(a, b);
  a.targetLanguage = "caf\xC3\xA9";   // é precomposed
  b = Config{};
  b.targetLanguage = "cafe\xCC\x81";  // e + combining acute
  EXPECT_EQ(a, b);
}

TEST(LangNames, CommonListAndChineseNames) {
  ASSERT_EQ(LangNames::common.size(), 12u);
  EXPECT_EQ(LangNames::common[0].id, "zh-Hans");
  EXPECT_EQ(LangNames::common[11].id, "ar");
  // ICU's names with dialect handling: banners read 「英语 → 简体中文」, regional forms by their
  // own names rather than "language (region)".
  const std::pair<const char*, const char*> kNames[] = {
      {"zh-Hans", "简体中文"}, {"zh-Hant", "繁体中文"}, {"en", "英语"},
      {"ja", "日语"}, {"ko", "韩语"}, {"fr", "法语"},
      {"de", "德语"}, {"es", "西班牙语"}, {"pt", "葡萄牙语"},
      {"it", "意大利语"}, {"ru", "俄语"}, {"ar", "阿拉伯语"},
      {"en-GB", "英国英语"}, {"en-US", "美国英语"}, {"pt_BR", "巴西葡萄牙语"},  // a locale identifier
      {"fr-CA", "加拿大法语"}, {"es-419", "拉丁美洲西班牙语"}, {"zh-Hant-TW", "繁体中文（台湾）"},
  };
  for (const auto& [id, name] : kNames) {
    SCOPED_TRACE(id);
    EXPECT_EQ(LangNames::chinese(id), name);
  }
  for (const auto& entry : LangNames::common) {
    EXPECT_TRUE(std::any_of(std::begin(kNames), std::end(kNames),
                            [&](const auto& row) { return row.first == entry.id; }))
        << entry.id << " has no expected Chinese name";
  }
  for (const char* unknown : {"xx", "qqq", "not a tag", "", "zz-Latn", "xx_YY", "_"}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(LangNames::chinese(unknown), unknown);
  }
}

}  // namespace
}  // namespace qy
