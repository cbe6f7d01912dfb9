// Language detection with the real CLD2 tables and the target-language rules, rule by rule.
#include <gtest/gtest.h>

#include <string>

#include "core/translate/lang.h"

namespace qy {
namespace {

const std::string kEnglish =
    "The quarterly report is attached to this message. Please read it before our meeting on "
    "Thursday, and send me your comments about the budget section by Wednesday evening.";
const std::string kFrench =
    "Le rapport trimestriel est joint à ce message. Merci de le lire avant notre réunion de "
    "jeudi et de m'envoyer vos remarques sur la partie budgétaire avant mercredi soir.";
const std::string kGerman =
    "Der Quartalsbericht ist dieser Nachricht beigefügt. Bitte lesen Sie ihn vor unserem "
    "Treffen am Donnerstag und schicken Sie mir Ihre Anmerkungen zum Haushalt bis Mittwoch.";
const std::string kSimplified =
    "季度报告已附在这封邮件中。请在星期四的会议之前阅读，并在星期三晚上之前把你对预算部分的意见发给我。"
    "我们需要在月底之前确定明年的计划，所以请尽快回复，谢谢大家的配合与支持。";
const std::string kTraditional =
    "季度報告已附在這封郵件中。請在星期四的會議之前閱讀，並在星期三晚上之前把你對預算部分的意見發給我。"
    "我們需要在月底之前確定明年的計劃，所以請儘快回覆，謝謝大家的配合與支持。";
const std::string kJapanese =
    "四半期報告書をこのメールに添付しました。木曜日の会議の前に読んでいただき、水曜日の夜までに"
    "予算の部分についてご意見をお送りください。";
const std::string kKorean =
    "분기 보고서를 이 메일에 첨부했습니다. 목요일 회의 전에 읽어 보시고 수요일 저녁까지 예산 부분에 "
    "대한 의견을 보내 주세요.";
const std::string kNorwegian =
    "Kvartalsrapporten er vedlagt denne meldingen. Vennligst les den før møtet vårt på torsdag, "
    "og send meg kommentarene dine om budsjettet innen onsdag kveld.";
// Korean written mostly in Hanja with a few Hangul particles.
const std::string kKoreanHanja = "大韓民國憲法은 國民主權과 自由民主的基本秩序를 規定한다";

TEST(Lang, ScriptsCountAlphabeticScalarsInTheFirstMatchingGroup) {
  struct Case { const char* name; std::string text; Lang::Scripts want; };
  const Case kCases[] = {
      {"empty", "", {}},
      {"digits and punctuation count nowhere", "12,345.67 — !? ★ 😀", {}},
      {"latin letters", "Héllo", {0, 0, 0, 5}},
      {"han", "\xE4\xB8\x80\xE3\x90\x80\xF0\xA0\x80\x80\xEF\xA4\x80", {4, 0, 0, 4}},  // 一 㐀 𠀀 豈
      {"kana incl. halfwidth", "ひらカタ\xE3\x87\xB0\xEF\xBD\xA6", {0, 6, 0, 6}},          // ㇰ ｦ
      {"hangul syllables and jamo", "한글\xE1\x84\x80\xE3\x84\xB1", {0, 0, 4, 4}},        // ᄀ ㄱ
      {"long vowel mark is kana", "ー", {0, 1, 0, 1}},
      {"cjk punctuation is not a letter", "。、「」", {}},
      {"invalid bytes are skipped", "a\xFF\xFE" "b", {0, 0, 0, 2}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Lang::scripts(c.text), c.want);
  }
}

TEST(Lang, BaseIsTheFirstNonEmptyPieceLowerCased) {
  struct Case { const char* code; const char* want; };
  const Case kCases[] = {{"zh-Hans", "zh"}, {"EN-gb", "en"}, {"fr", "fr"}, {"", ""},
                         {"--pt-BR", "pt"}, {"-", "-"}, {"Zh", "zh"},
                         {"\u212Ao-KR", "ko"}};  // KELVIN SIGN lower-cases to "k"
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Lang::base(c.code), c.want);
  }
}

TEST(Lang, WithoutRegionDropsOnlyTheRegionSubtag) {
  struct Case { const char* code; const char* want; };
  const Case kCases[] = {{"es-MX", "es"},           {"pt_BR", "pt"},   {"en-gb", "en"},
                         {"zh-Hant-TW", "zh-Hant"}, {"es-419", "es"},  {"zh-Hans", "zh-Hans"},
                         {"fr", "fr"},              {"", ""},          {"de-CH-1996", "de-1996"},
                         {"x-MX", "x"},             {"ca-valencia", "ca-valencia"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Lang::withoutRegion(c.code), c.want);
  }
}

TEST(Lang, DetectNamesLanguagesInTheServiceCodes) {
  struct Case { const char* name; std::string text; const char* want; };
  const Case kCases[] = {
      {"english", kEnglish, "en"},   {"french", kFrench, "fr"},
      {"german", kGerman, "de"},     {"simplified chinese", kSimplified, "zh-Hans"},
      {"traditional chinese", kTraditional, "zh-Hant"},
      {"japanese", kJapanese, "ja"}, {"korean", kKorean, "ko"},
      {"norwegian bokmål", kNorwegian, "nb"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Lang::detect(c.text), c.want);
    EXPECT_EQ(Lang::detect(c.text, 0.8), c.want);
  }
}

TEST(Lang, DetectGivesNothingForUndeterminedOrUnsureText) {
  EXPECT_EQ(Lang::detect(""), std::nullopt);
  EXPECT_EQ(Lang::detect("12345 67.89 !!!"), std::nullopt);
  EXPECT_EQ(Lang::detect("\xFF\xFE\x00\x01"), std::nullopt);
  // Half French, half German: some language at 0, but the top share is below 0.8.
  const std::string mixed = kFrench + " " + kGerman;
  EXPECT_TRUE(Lang::detect(mixed, 0).has_value());
  EXPECT_EQ(Lang::detect(mixed, 0.8), std::nullopt);
}

TEST(Lang, DetectorCodesMapToServiceCodes) {
  EXPECT_EQ(Lang::fromDetectorCode("zh"), "zh-Hans");
  EXPECT_EQ(Lang::fromDetectorCode("zh-Hant"), "zh-Hant");
  EXPECT_EQ(Lang::fromDetectorCode("iw"), "he");
  EXPECT_EQ(Lang::fromDetectorCode("jw"), "jv");
  EXPECT_EQ(Lang::fromDetectorCode("no"), "nb");
  EXPECT_EQ(Lang::fromDetectorCode("fr"), "fr");
  EXPECT_EQ(Lang::fromDetectorCode("un"), std::nullopt);
  EXPECT_EQ(Lang::fromDetectorCode("xxx"), std::nullopt);
  EXPECT_EQ(Lang::fromDetectorCode("xx-Latn"), std::nullopt);
  EXPECT_EQ(Lang::fromDetectorCode("zzb"), std::nullopt);
}

TEST(Lang, IsTargetFollowsEachRule) {
  struct Case {
    const char* name;
    std::string text;
    const char* target;
    bool isLong;
    bool want;
  };
  const Case kCases[] = {
      // No letters: nothing to translate, whatever the target.
      {"letterless, zh", "2024-05-01 12:30 ¥100 ✓", "zh-Hans", false, true},
      {"letterless, en", "2024-05-01 12:30 ¥100 ✓", "en", false, true},
      {"letterless, ja", "...", "ja", true, true},
      // Chinese targets.
      {"zh: under half han", "Hello 世界 world", "zh-Hans", false, false},
      {"zh: exactly half han passes", "ab中文", "zh-Hans", false, true},
      {"zh: 8 x kana >= han is japanese", kJapanese, "zh-Hans", false, false},
      {"zh: one kana per eight han", "中文中文中文中文の", "zh-Hans", false, false},
      {"zh: one kana per nine han", "中文中文中文中文中の", "zh-Hans", false, true},
      {"zh: short segment, flag off", kTraditional, "zh-Hans", false, true},
      {"zh: under 40 letters, flag on", "請在星期四的會議之前閱讀並把意見發給我", "zh-Hans", true, true},
      {"zh: traditional long text into simplified", kTraditional, "zh-Hans", true, false},
      {"zh: simplified long text into traditional", kSimplified, "zh-Hant", true, false},
      {"zh: simplified long text, simplified target", kSimplified, "zh-Hans", true, true},
      {"zh: traditional long text, traditional target", kTraditional, "zh-Hant", true, true},
      {"zh: bare zh target accepts either", kTraditional, "zh", true, true},
      {"zh: other chinese code accepts either", kSimplified, "zh-TW", true, true},
      // Japanese target.
      {"ja: japanese", kJapanese, "ja", false, true},
      {"ja: chinese without kana", kSimplified, "ja", false, false},
      {"ja: mostly latin with kana", "Meeting notes from the weekly sync でした", "ja", false, false},
      // Korean target.
      {"ko: hangul", kKorean, "ko", false, true},
      {"ko: mostly hanja", kKoreanHanja, "ko", false, false},
      // Other targets.
      {"en: cjk share 0.3 or more", "Please see 报告附件 here", "en", false, false},
      {"en: under 15 characters", "Thanks a lot", "en", false, false},
      {"en: english paragraph", kEnglish, "en", false, true},
      {"en-GB: english paragraph by base", kEnglish, "en-GB", false, true},
      {"en: french paragraph", kFrench, "en", false, false},
      {"fr: french paragraph", kFrench, "fr", false, true},
      {"de: half french half german is unsure", kFrench + " " + kGerman, "de", false, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Lang::isTarget(c.text, c.target, c.isLong), c.want);
  }
}

}  // namespace
}  // namespace qy
