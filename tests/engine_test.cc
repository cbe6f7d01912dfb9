// The message pipeline: early outcomes, the banner table, jobs, caches, retries and reloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

#include <nlohmann/json.hpp>

#include "core/engine/engine.h"
#include "core/config/paths.h"
#include "core/engine/engine_report.h"
#include "support/engine_fixture.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using testing::bodyText;
using testing::EngineFixture;
using testing::plainMessage;

const std::string kEnglish =
    "Dear team,\n\nThe quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n\nBest regards,\nAnna\n";
const std::vector<std::string> kEnglishTexts = {
    "Dear team,", "The quarterly report is attached to this message.",
    "Please review the numbers before our meeting on Friday.", "Best regards,\nAnna"};

Config spanish() {
  Config cfg;
  cfg.targetLanguage = "es";
  return cfg;
}

TEST(EngineReport, ListLiteralEscapes) {
  EXPECT_EQ(EngineReport::listLiteral({}), "[]");
  EXPECT_EQ(EngineReport::listLiteral({"a", "b \"c\" \\ d\n\x01"}),
            "[\"a\", \"b \\\"c\\\" \\\\ d\\n\\u{1}\"]");
  // C1 controls are escaped too; other non-ASCII text stays as it is.
  EXPECT_EQ(EngineReport::listLiteral({"x\xC2\x85y\xC2\x9F" "\xC2\xA0é\x7F"}),
            "[\"x\\u{85}y\\u{9F}\xC2\xA0é\\u{7F}\"]");
}

TEST(Engine, HashAndKey) {
  const std::string abc = "abc";
  EXPECT_EQ(Engine::hash(ByteView(reinterpret_cast<const uint8_t*>(abc.data()), 3)),
            "ba7816bf8f01cfea414140de");
  Config cfg;
  std::string key = Engine::keyFor("ba7816bf8f01cfea414140de", cfg);
  EXPECT_EQ(key.size(), 35u);
  Config style = cfg;
  style.style = "plain";
  style.darkMode = "on";
  style.maxChars = 5;
  EXPECT_EQ(Engine::keyFor("f", style), Engine::keyFor("f", cfg));
  for (auto change : {+[](Config& c) { c.targetLanguage = "en"; },
                      +[](Config& c) { c.mode = "replace"; },
                      +[](Config& c) { c.cacheEpoch = 1; }}) {
    Config other = cfg;
    change(other);
    EXPECT_NE(Engine::keyFor("f", other), Engine::keyFor("f", cfg));
  }
}

TEST(Engine, BothSwitchesOffReturnsAtOnceWithoutLogLine) {
  EngineFixture f;
  Config cfg;
  cfg.mode = "off";
  cfg.darkMode = "off";
  f.setConfig(cfg);
  Engine::Result want;
  want.note = "off";
  EXPECT_EQ(f.process(std::string(40'000'000, 'x')), want);
  EXPECT_EQ(f.process("Content-Type: multipart/signed\n\nx"), want);
  EXPECT_TRUE(f.logLines().empty());
}

TEST(Engine, EarlySkips) {
  struct Case { const char* name; Config cfg; std::string message; std::string reason; };
  Config darkOnly;
  darkOnly.mode = "off";
  darkOnly.darkMode = "on";
  const Case kCases[] = {
      {"too large even in dark-only mode", darkOnly, std::string(40'000'000, 'x'), "邮件太大"},
      {"plain text never darkens", darkOnly, plainMessage(kEnglish), "翻译已关闭"},
      {"signed", spanish(), "Content-Type: multipart/signed; boundary=b\n\n--b\n\nhi\n--b--\n",
       "签名或加密邮件"},
      {"pkcs7", spanish(), "Content-Type: application/pkcs7-mime\n\nxx", "签名或加密邮件"},
      {"no text part", spanish(), "Content-Type: image/png\n\nxx", "没有文字正文"},
      {"no text part when the body is empty", spanish(), "Content-Type: text/plain\n\n",
       "没有文字正文"},
      {"empty after decoding", spanish(),
       "Content-Type: text/plain\nContent-Transfer-Encoding: base64\n\n=\n", "正文为空"},
      {"nothing translatable", spanish(), plainMessage("--\n\n12345\n"), "没有可翻译的文字"},
      {"already in target", spanish(),
       plainMessage("Hola equipo,\n\nEl informe trimestral está adjunto a este mensaje y "
                    "esperamos sus comentarios antes del viernes.\n"),
       "已是目标语言"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EngineFixture f;
    f.setConfig(c.cfg);
    auto result = f.process(c.message);
    EXPECT_EQ(result.note, c.reason);
    EXPECT_FALSE(result.data);
    // A signed or encrypted message is shown as it arrived, under a banner that says so.
    if (c.reason == "签名或加密邮件") {
      EXPECT_EQ(result.banner, Engine::kKeptAsItIs);
    } else {
      EXPECT_FALSE(result.banner);
    }
    EXPECT_FALSE(result.subject);
    EXPECT_EQ(result.action, "设置");
    EXPECT_TRUE(result.context.empty());
    ASSERT_EQ(f.logLines().size(), 1u);
    EXPECT_EQ(f.logLines()[0], "decode " + std::to_string(c.message.size()) + "B -> skipped (" +
                                   c.reason + ")");
  }
}

TEST(Engine, DarkDocumentsAreRebuiltWithoutTranslationsWhereTranslationStops) {
  auto html = [](const std::string& body) {
    return "From: a@example.com\nSubject: Hi\nMIME-Version: 1.0\n"
           "Content-Type: text/html; charset=utf-8\n\n<html><body><p style=\"color:#222\">" +
           body + "</p></body></html>\n";
  };
  Config dark = spanish();
  dark.darkMode = "on";
  Config darkOff = dark;
  darkOff.mode = "off";
  struct Case { const char* name; Config cfg; std::string message; std::string reason; };
  const Case kCases[] = {
      {"translation off", darkOff, html(kEnglishTexts[1]), "翻译已关闭"},
      {"nothing translatable", dark, html("12345 -- 678"), "没有可翻译的文字"},
      {"already in target", dark,
       html("El informe trimestral está adjunto a este mensaje y esperamos sus comentarios."),
       "已是目标语言"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EngineFixture f;
    f.setConfig(c.cfg);
    auto result = f.process(c.message);
    EXPECT_EQ(result.note, "dark");
    EXPECT_FALSE(bodyText(result).empty());
    EXPECT_FALSE(result.banner);
    EXPECT_EQ(result.action, "设置");
    EXPECT_TRUE(result.context.empty());
    EXPECT_EQ(f.logLines(), std::vector<std::string>{"decode " + std::to_string(c.message.size()) +
                                                     "B -> dark only (" + c.reason + ")"});
    EXPECT_EQ(f.translator().runs(), 0);
  }
  // An offer of a dark document shows it recoloured, and writes no log line.
  EngineFixture f;
  dark.trigger = "manual";
  f.setConfig(dark);
  auto offer = f.process(html(kEnglishTexts[1] + " " + kEnglishTexts[2]));
  EXPECT_EQ(offer.note, "offer");
  EXPECT_EQ(offer.banner, "这封邮件是英语");
  EXPECT_FALSE(bodyText(offer).empty());
  EXPECT_TRUE(f.logLines().empty());
}

TEST(Engine, TranslatesPlainTextAndServesItFromTheCache) {
  EngineFixture f;
  f.setConfig(spanish());
  const std::string message = plainMessage(kEnglish);
  auto result = f.process(message);
  EXPECT_EQ(result.note, "translated");
  EXPECT_EQ(result.banner, "已翻译为西班牙语");
  EXPECT_EQ(result.action, "设置");
  EXPECT_EQ(result.context.at("s"), "done");
  EXPECT_EQ(result.context.at("h").size(), 24u);
  EXPECT_EQ(result.context.at("k").substr(0, 25), result.context.at("h") + "-");
  std::vector<std::string> job = kEnglishTexts;
  job.insert(job.begin(), "Hello");  // the subject, first
  EXPECT_EQ(f.translator().calls(), std::vector<std::vector<std::string>>{job});
  EXPECT_EQ(result.subject, "ES:Hello");
  std::string html = bodyText(result);
  for (const auto& text : kEnglishTexts) {
    EXPECT_NE(html.find("ES:" + text.substr(0, text.find('\n'))), std::string::npos) << text;
  }
  const std::string line = f.lastDecodeLine();
  EXPECT_EQ(line.substr(0, line.find(" segments")),
            "decode " + std::to_string(message.size()) + "B -> translated 4/4");
  EXPECT_NE(line.find(" segments mode=bilingual dark=false truncated=false "), std::string::npos);
  EXPECT_EQ(line.substr(line.size() - 12), "ms errors=[]");

  auto again = f.process(message);
  EXPECT_EQ(again, result);
  EXPECT_EQ(f.translator().runs(), 1);
  EXPECT_TRUE(std::filesystem::exists(f.cacheDir() / (result.context.at("k") + ".json")));
  EXPECT_EQ(testing::modeOf(f.cacheDir() / (result.context.at("k") + ".json")), 0600u);
}

TEST(Engine, IdenticalSegmentsAreTranslatedOnce) {
  EngineFixture f;
  f.setConfig(spanish());
  auto result = f.process(plainMessage("See you soon.\n\nSee you soon.\n\nSee you soon.\n"));
  EXPECT_EQ(result.banner, "已翻译为西班牙语");
  EXPECT_NE(f.lastDecodeLine().find(" 1/1 segments"), std::string::npos);
}

TEST(Engine, WholeMessageSampleCountsCharactersNotBytes) {
  // 2,800 characters of 141 bytes each (a letter under 70 stacked accents), then Hangul: the
  // first 6,000 characters hold 3,199 Hangul syllables of 5,999 letters, so the message is
  // already Korean, although the long characters alone fill hundreds of kilobytes.
  std::string stacked = "x";
  for (int i = 0; i < 70; ++i) stacked += "\u0301";
  std::string first;
  for (int i = 0; i < 2800; ++i) first += stacked;
  std::string second;
  for (int i = 0; i < 3300; ++i) second += "\uAC00";
  EngineFixture f;
  Config cfg;
  cfg.targetLanguage = "ko";
  f.setConfig(cfg);
  EXPECT_EQ(f.process(plainMessage(first + "\n\n" + second + "\n")).note, "已是目标语言");
  EXPECT_EQ(f.translator().runs(), 0);
}

TEST(Engine, BudgetTakesTheTextThatExhaustsItWhole) {
  EngineFixture f;
  Config cfg = spanish();
  cfg.maxChars = 10;
  f.setConfig(cfg);
  auto result = f.process(plainMessage("Hello yo\n\nHi yo\n\nThird one\n", ""));
  EXPECT_EQ(f.translator().calls(),
            (std::vector<std::vector<std::string>>{{"Hello yo", "Hi yo"}}));
  EXPECT_EQ(result.banner, "已翻译为西班牙语（邮件太长，只翻了前面一部分）");
  EXPECT_NE(f.lastDecodeLine().find(" 2/2 segments mode=bilingual dark=false truncated=true"),
            std::string::npos);
}

TEST(Engine, SubjectIsOneMoreTextOfTheJobCachedWithTheBody) {
  EngineFixture f;
  f.setConfig(spanish());
  // Encoded words are decoded; the banner's total still counts the body's paragraphs.
  const std::string message = plainMessage(kEnglish, "=?UTF-8?Q?Quarterly_report_=E2=80=93_team?=");
  auto result = f.process(message);
  EXPECT_EQ(result.subject, "ES:Quarterly report \u2013 team");
  ASSERT_EQ(f.translator().calls().size(), 1u);
  EXPECT_EQ(f.translator().calls()[0].size(), kEnglishTexts.size() + 1);
  EXPECT_NE(f.lastDecodeLine().find(" 4/4 segments"), std::string::npos);
  const auto cached = nlohmann::json::parse(
      testing::readFile(f.cacheDir() / (result.context.at("k") + ".json")));
  EXPECT_EQ(cached["Quarterly report \u2013 team"], "ES:Quarterly report \u2013 team");
  EXPECT_EQ(f.process(message).subject, result.subject);
  EXPECT_EQ(f.translator().runs(), 1);
}

TEST(Engine, SubjectIsLeftAloneWhereTheMessageIsNotTranslated) {
  struct Case { const char* name; Config cfg; std::string subject; };
  Config off = spanish();
  off.mode = "off";
  off.darkMode = "on";
  Config noBudget = spanish();
  noBudget.maxChars = 0;
  Config manual = spanish();
  manual.trigger = "manual";
  const Case kCases[] = {
      {"already in the target language", spanish(),
       "El informe trimestral del equipo de ventas está listo"},
      {"translation off", off, "Quarterly report"},
      {"no budget left", noBudget, "Quarterly report"},
      {"offered, not asked for", manual, "Quarterly report"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EngineFixture f;
    f.setConfig(c.cfg);
    auto result = f.process(plainMessage(kEnglish, c.subject));
    EXPECT_FALSE(result.subject);
    for (const auto& call : f.translator().calls())
      EXPECT_EQ(std::find(call.begin(), call.end(), c.subject), call.end());
  }
}

TEST(Engine, WaitZeroReturnsPendingAndAsksForOneReload) {
  EngineFixture f;
  f.setConfig(spanish());
  int reloads = 0;
  f.engine().setReloadHook([&] { ++reloads; });
  f.translator().hold();
  const std::string message = plainMessage(kEnglish);
  auto first = f.process(message, 0.0);
  auto second = f.process(message, 0.0);
  EXPECT_EQ(first.note, "partial");
  EXPECT_EQ(first.banner, "正在翻译为西班牙语\u2026 0/4");
  EXPECT_EQ(first.context.at("s"), "pending");
  EXPECT_FALSE(first.data);
  const std::string key = first.context.at("k");
  EXPECT_TRUE(f.engine().wantsReloadFor(key));
  EXPECT_EQ(f.engine().attemptsFor(key), 1);
  f.translator().release();
  f.engine().waitForJobs();
  EXPECT_FALSE(f.engine().wantsReloadFor(key));
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(f.process(message).note, "translated");
}

TEST(Engine, NoReloadWithoutAutoReloadOrUnfinishedDisplay) {
  EngineFixture f;
  Config cfg = spanish();
  cfg.autoReload = false;
  f.setConfig(cfg);
  int reloads = 0;
  f.engine().setReloadHook([&] { ++reloads; });
  f.translator().hold();
  auto pending = f.process(plainMessage(kEnglish), 0.0);
  f.translator().release();
  f.engine().waitForJobs();
  EXPECT_FALSE(f.engine().wantsReloadFor(pending.context.at("k")));
  f.setConfig(spanish());
  f.process(plainMessage("Another message for you.\n"));  // finished within its wait
  f.engine().waitForJobs();
  EXPECT_EQ(reloads, 0);
}

TEST(Engine, ConcurrentCallsShareOneJob) {
  EngineFixture f;
  f.setConfig(spanish());
  f.translator().hold();
  const std::string message = plainMessage(kEnglish);
  auto a = std::async(std::launch::async, [&] { return f.process(message, 10.0); });
  auto b = std::async(std::launch::async, [&] { return f.process(message, 10.0); });
  while (f.translator().calls().empty()) std::this_thread::yield();
  f.translator().release();
  EXPECT_EQ(a.get().note, "translated");
  EXPECT_EQ(b.get().note, "translated");
  EXPECT_EQ(f.translator().runs(), 1);
  EXPECT_EQ(f.engine().attemptsFor(Engine::keyFor(Engine::hash(ByteView(
                reinterpret_cast<const uint8_t*>(message.data()), message.size())), spanish())),
            1);
}

TEST(Engine, FailedJobPausesSixtySecondsAndKeepsItsPartialTranslations) {
  EngineFixture f;
  f.setConfig(spanish());
  f.translator().errors = {"系统翻译出错：boom"};
  f.translator().skip = {"Best regards,\nAnna"};
  const std::string message = plainMessage(kEnglish);
  auto first = f.process(message);
  EXPECT_EQ(first.note, "error");
  EXPECT_EQ(first.banner, "翻译未完成（3/4）：系统翻译出错：boom");
  EXPECT_EQ(first.action, "重试");
  EXPECT_EQ(first.context.at("s"), "error");
  EXPECT_FALSE(bodyText(first).empty());
  const std::string key = first.context.at("k");
  EXPECT_TRUE(f.engine().hasFailure(key));

  f.clock().advance(std::chrono::seconds(30));
  EXPECT_EQ(f.process(message).banner, "翻译未完成（3/4）：系统翻译出错：boom");
  EXPECT_EQ(f.translator().runs(), 1);

  f.clock().advance(std::chrono::seconds(31));
  f.process(message);
  ASSERT_EQ(f.translator().runs(), 2);
  EXPECT_EQ(f.translator().calls()[1], std::vector<std::string>{"Best regards,\nAnna"});

  // A job without errors answers for every text: the one it skipped is stored empty.
  f.clock().advance(std::chrono::seconds(61));
  f.translator().errors.clear();
  auto done = f.process(message);
  EXPECT_EQ(done.banner, "已翻译为西班牙语");
  EXPECT_EQ(f.engine().attemptsFor(key), 3);
  EXPECT_FALSE(f.engine().hasFailure(key));
  EXPECT_EQ(f.engine().cached(key).at("Best regards,\nAnna"), "");
  EXPECT_EQ(f.process(message).note, "translated");
  EXPECT_EQ(f.translator().runs(), 3);
}

TEST(Engine, ThreeAttemptsHoldTheKeyBackUntilRetry) {
  EngineFixture f;
  Config cfg = spanish();
  cfg.maxChars = 10;  // only "Dear team," is due
  f.setConfig(cfg);
  const std::string message = plainMessage(kEnglish);
  f.translator().errors = {"x"};
  f.translator().skip = {"Dear team,"};
  for (int i = 0; i < 3; ++i) {
    if (i == 2) f.translator().errors.clear();  // the third job succeeds without a translation
    f.process(message);
    f.clock().advance(std::chrono::seconds(61));
  }
  // A larger budget (same key) makes more texts due, but the key had its three attempts.
  cfg.maxChars = 60000;
  f.setConfig(cfg);
  auto held = f.process(message);
  EXPECT_EQ(held.banner, "翻译未完成（1/4）：翻译多次失败，已暂停重试");
  EXPECT_EQ(held.action, "重试");
  EXPECT_EQ(f.translator().runs(), 3);

  f.engine().retry(held.context.at("k"));
  EXPECT_EQ(f.process(message).note, "translated");
  EXPECT_EQ(f.translator().runs(), 4);
}

TEST(Engine, ManualTriggerOffersUntilRequested) {
  EngineFixture f;
  Config cfg = spanish();
  f.setConfig(cfg);
  const std::string message = plainMessage(kEnglish);
  ASSERT_EQ(f.process(message).note, "translated");  // cached now
  cfg.trigger = "manual";
  f.setConfig(cfg);
  auto offer = f.process(message);
  EXPECT_EQ(offer.note, "offer");
  EXPECT_EQ(offer.banner, "这封邮件是英语");
  EXPECT_EQ(offer.action, "翻译");
  EXPECT_EQ(offer.context.at("s"), "offer");
  EXPECT_FALSE(offer.data);
  f.engine().request(offer.context.at("h"));
  f.engine().request(offer.context.at("h"));
  auto done = f.process(message, 0.0);
  EXPECT_EQ(done.note, "translated");
  EXPECT_EQ(f.translator().runs(), 1);
}

TEST(Engine, ReloadsAreLimitedToTwelveAMinute) {
  EngineFixture f;
  int reloads = 0;
  f.engine().setReloadHook([&] { ++reloads; });
  for (int i = 0; i < 13; ++i) f.engine().requestReload("r" + std::to_string(i));
  EXPECT_EQ(reloads, 12);
  EXPECT_EQ(f.logLines().back(), "reload suppressed (too many in the last minute): r12");
  EXPECT_EQ(f.logLines().front(), "asking Mail to reload: r0");
  f.clock().advance(std::chrono::seconds(61));
  f.engine().requestReload("later");
  EXPECT_EQ(reloads, 13);
}

TEST(Engine, MemoryKeepsSixtyMostRecentlyStoredKeys) {
  EngineFixture f;
  for (int i = 0; i < 61; ++i) f.engine().store("key" + std::to_string(i), {{"a", "b"}});
  auto keys = f.engine().memoryKeys();
  ASSERT_EQ(keys.size(), 60u);
  EXPECT_EQ(keys.front(), "key1");
  f.engine().cached("key1");  // looking up does not protect from eviction
  f.engine().store("key61", {{"a", "b"}});
  EXPECT_EQ(f.engine().memoryKeys().front(), "key2");
  // The evicted key is read back from its file.
  EXPECT_EQ(f.engine().cached("key0"), (TranslationDict{{"a", "b"}}));
  EXPECT_EQ(f.engine().memoryKeys().back(), "key0");
}

TEST(Engine, BadCacheFilesReadAsEmpty) {
  EngineFixture f;
  const std::pair<const char*, std::string> kFiles[] = {
      {"truncated", "{\"a\": \"b"}, {"not json", "hello"}, {"array", "[\"a\"]"},
      {"number value", "{\"a\": 1}"}, {"empty", ""},
  };
  for (const auto& [name, content] : kFiles) {
    SCOPED_TRACE(name);
    testing::writeFile(f.cacheDir() / (std::string(name) + ".json"), content);
    EXPECT_TRUE(f.engine().cached(name).empty());
  }
  std::filesystem::create_directory(f.cacheDir() / "dir.json");
  EXPECT_TRUE(f.engine().cached("dir").empty());
}

TEST(Engine, KeysThatAreNotFileNamesTouchNoFile) {
  // Keys come back from the host with a click; one that points elsewhere reaches nothing.
  EngineFixture f;
  testing::writeFile(f.root() / "config.json", "{}");
  testing::writeFile(f.root() / "other.json", "{\"a\": \"b\"}");
  f.engine().forget("../config");
  f.engine().store("../other", {{"c", "d"}});
  EXPECT_EQ(testing::readFile(f.root() / "config.json"), "{}");
  EXPECT_EQ(testing::readFile(f.root() / "other.json"), "{\"a\": \"b\"}");
  f.engine().forget("../other");
  EXPECT_TRUE(f.engine().cached("../other").empty());
  EXPECT_TRUE(std::filesystem::exists(f.root() / "other.json"));
}

TEST(Engine, CacheDirectoryReplacedByAFileStillShowsTheMessage) {
  EngineFixture f;
  f.setConfig(spanish());
  std::filesystem::remove_all(f.cacheDir());
  testing::writeFile(f.cacheDir(), "in the way");
  auto result = f.process(plainMessage(kEnglish));
  EXPECT_EQ(result.note, "translated");
  f.engine().waitForJobs();
  EXPECT_FALSE(f.engine().hasJob(result.context.at("k")));
}

}  // namespace
}  // namespace qy

namespace qy {
namespace {

TEST(Engine, PrunesCacheFilesOlderThanThirtyDaysByItsClock) {
  testing::TempDir dir;
  Paths::ensureDirectory(dir / "cache");
  // Cache files are named by their keys (pruning touches nothing else).
  const std::string old = "cache/" + std::string(24, 'a') + "-" + std::string(10, '0') + ".json";
  const std::string recent = "cache/" + std::string(24, 'b') + "-" + std::string(10, '0') + ".json";
  testing::writeFile(dir / old, "{}");
  testing::writeFile(dir / recent, "{}");
  const auto now = std::chrono::system_clock::now();
  std::filesystem::last_write_time(dir / recent,
                                   std::chrono::file_clock::from_sys(now + std::chrono::hours(48)));
  // The engine's clock stands 31 days ahead: "old" is 31 days old, "recent" 29.
  auto clock = std::make_shared<testing::ManualClock>();
  clock->advance(std::chrono::hours(24 * 31));
  Engine::Options options;
  options.root = dir.path();
  options.clock = clock;
  options.log = [](std::string_view) {};
  options.pruneDelay = std::chrono::milliseconds(0);
  Engine engine(std::move(options));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::filesystem::exists(dir / old) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_FALSE(std::filesystem::exists(dir / old));
  EXPECT_TRUE(std::filesystem::exists(dir / recent));
}

}  // namespace
}  // namespace qy
