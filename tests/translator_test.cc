// The translator over a scripted translation service (and once over real Apertium): grouping,
// fallback folding, batching, deliveries, its messages to the character, failure and cancellation.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/translate/translator.h"
#include "platform/system_translation_service.h"
#include "support/scripted_translation_service.h"

namespace qy {
namespace {

using testing::ScriptedTranslationService;

// Long French and German paragraphs (40 characters or more, detected on their own).
const std::vector<std::string> kFrench = {
    "Bonjour à tous, je vous écris pour vous informer que la réunion de jeudi est reportée.",
    "Merci de confirmer votre présence avant mercredi soir, afin que nous puissions réserver la salle.",
    "Le rapport trimestriel est joint à ce message ; lisez-le avant notre prochaine discussion.",
    "Nous avons également besoin de vos remarques sur le budget de l'année prochaine.",
    "Si vous avez des questions, n'hésitez pas à me contacter par téléphone ou par courriel.",
};
const std::vector<std::string> kGerman = {
    "Der Quartalsbericht ist dieser Nachricht beigefügt, bitte lesen Sie ihn vor dem Treffen.",
    "Schicken Sie mir bitte Ihre Anmerkungen zum Haushalt bis spätestens Mittwochabend zurück.",
};

Config target(const std::string& language) {
  Config cfg;
  cfg.targetLanguage = language;
  return cfg;
}

struct Deliveries {
  std::vector<TranslationDict> all;
  std::function<void(TranslationDict)> callback() {
    return [this](TranslationDict d) { all.push_back(std::move(d)); };
  }
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (const auto& d : all) n += d.count(text);
    return n;
  }
};

TEST(Translator, EmptyInputTouchesNothing) {
  auto service = std::make_shared<ScriptedTranslationService>();
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run({}, target("zh-Hans"), deliveries.callback(), {}, service).empty());
  EXPECT_TRUE(service->statusQuestions().empty());
  EXPECT_EQ(service->sessionsCreated(), 0u);
  EXPECT_TRUE(deliveries.all.empty());
}

TEST(Translator, NinetyFiveTextsGoInBatchesOfFortyFortyFifteen) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("en", PairStatus::installed);
  std::vector<std::string> texts;
  for (int i = 0; i < 95; ++i) texts.push_back("Item number " + std::to_string(i) + " is ready");
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service).empty());

  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 3u);
  const size_t sizes[] = {40, 40, 15};
  size_t next = 0;
  for (size_t b = 0; b < 3; ++b) {
    SCOPED_TRACE(b);
    EXPECT_EQ(batches[b].source, "en");
    EXPECT_EQ(batches[b].target, "zh-Hans");
    ASSERT_EQ(batches[b].requests.size(), sizes[b]);
    for (size_t i = 0; i < sizes[b]; ++i) {
      EXPECT_EQ(batches[b].requests[i].clientIdentifier, std::to_string(i));
      EXPECT_EQ(batches[b].requests[i].sourceText, texts[next++]);  // input order
    }
    ASSERT_EQ(deliveries.all[b].size(), sizes[b]);
  }
  ASSERT_EQ(deliveries.all.size(), 3u);
  EXPECT_EQ(deliveries.all[2].at(texts[94]), "[en→zh-Hans]" + texts[94]);
  EXPECT_EQ(service->statusQuestions(), (std::vector<std::pair<std::string, std::string>>{{"en", "zh-Hans"}}));
}

TEST(Translator, ShortSegmentsTakeTheWholeInputLanguage) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::installed);
  std::vector<std::string> texts = kFrench;
  texts.push_back("Guten Morgen zusammen!");   // German, but under 40 characters
  texts.push_back("Vielen Dank und bis bald");
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service).empty());
  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].source, "fr");
  EXPECT_EQ(batches[0].requests.size(), texts.size());
}

TEST(Translator, GroupsGoLargestFirstAndEachSegmentIsDeliveredOnce) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::installed);
  // German first in the mail, but French is the larger group.
  std::vector<std::string> texts = kGerman;
  texts.insert(texts.end(), kFrench.begin(), kFrench.end());
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service).empty());
  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].source, "fr");
  EXPECT_EQ(batches[0].requests.size(), kFrench.size());
  EXPECT_EQ(batches[1].source, "de");
  for (const auto& text : texts) EXPECT_EQ(deliveries.count(text), 1u) << text;
  EXPECT_EQ(deliveries.all[1].at(kGerman[0]), "[de→zh-Hans]" + kGerman[0]);
}

TEST(Translator, UnusableLanguagesAreFoldedIntoTheFallbackSilently) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::supported);  // not installed: no message, not the fallback
  std::vector<std::string> texts = kFrench;
  texts.insert(texts.end(), kGerman.begin(), kGerman.end());
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service).empty());
  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].source, "fr");
  EXPECT_EQ(batches[0].requests.size(), texts.size());
  EXPECT_EQ(deliveries.all.at(0).at(kGerman[1]), "[fr→zh-Hans]" + kGerman[1]);
  // Each language was asked about once.
  EXPECT_EQ(service->statusQuestions().size(), 2u);
}

TEST(Translator, FallbackPairMessagesAreExact) {
  struct Case { const char* name; PairStatus status; const char* message; };
  const Case kCases[] = {
      {"downloadable", PairStatus::supported,
       "还没下载「法语 → 简体中文」语言包，请打开“Quillory”App 下载"},
      {"unsupported", PairStatus::unsupported, "系统翻译不支持「法语 → 简体中文」：可在设置的“翻译引擎”里选用本机的 Ollama 等翻译服务"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto service = std::make_shared<ScriptedTranslationService>();
    service->setStatus("fr", c.status);
    service->setStatus("de", PairStatus::installed);
    std::vector<std::string> texts = kFrench;
    texts.insert(texts.end(), kGerman.begin(), kGerman.end());
    Deliveries deliveries;
    EXPECT_EQ(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service),
              std::vector<std::string>{c.message});
    // Only the German group is translated.
    const auto batches = service->batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].source, "de");
    for (const auto& text : kFrench) EXPECT_EQ(deliveries.count(text), 0u);
  }
}

TEST(Translator, UndeterminedInputFallsBackToEnglish) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("en", PairStatus::supported);
  const std::vector<std::string> texts = {"12345 67890", "2024-05-01 12:00"};
  Deliveries deliveries;
  const auto errors = Translator::run(texts, target("es"), deliveries.callback(), {}, service);
  EXPECT_EQ(errors, std::vector<std::string>{"还没下载「英语 → 西班牙语」语言包，请打开“Quillory”App 下载"});
  EXPECT_TRUE(deliveries.all.empty());
}

TEST(Translator, AFailedSecondBatchKeepsTheFirstAndLaterGroupsGoOn) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("fr", PairStatus::installed);
  service->setStatus("de", PairStatus::installed);
  service->failBatch(1, "模型崩溃");
  std::vector<std::string> texts;
  for (int i = 0; i < 95; ++i) texts.push_back(kFrench[static_cast<size_t>(i) % kFrench.size()] + " #" + std::to_string(i));
  texts.insert(texts.end(), kGerman.begin(), kGerman.end());
  Deliveries deliveries;
  const auto errors = Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service);
  EXPECT_EQ(errors, std::vector<std::string>{"系统翻译出错：模型崩溃"});
  const auto batches = service->batches();
  ASSERT_EQ(batches.size(), 3u);  // fr 40, fr 40 (failed), de 2; the third French batch is dropped
  EXPECT_EQ(batches[2].source, "de");
  ASSERT_EQ(deliveries.all.size(), 2u);
  EXPECT_EQ(deliveries.all[0].size(), 40u);
  EXPECT_EQ(deliveries.all[1].size(), kGerman.size());
}

// A stopped run says so: what it left out is not translated.
TEST(Translator, CancellationIsObservedBeforeEachBatch) {
  std::vector<std::string> texts;
  for (int i = 0; i < 95; ++i) texts.push_back("Item number " + std::to_string(i) + " is ready");
  {
    SCOPED_TRACE("cancelled between batches");
    auto service = std::make_shared<ScriptedTranslationService>();
    service->setStatus("en", PairStatus::installed);
    std::stop_source stop;
    Deliveries deliveries;
    auto deliver = [&](TranslationDict d) {
      deliveries.all.push_back(std::move(d));
      stop.request_stop();
    };
    EXPECT_EQ(Translator::run(texts, target("es"), deliver, stop.get_token(), service),
              std::vector<std::string>{"翻译被中断"});
    EXPECT_EQ(service->batches().size(), 1u);
    EXPECT_EQ(deliveries.all.size(), 1u);
  }
  {
    SCOPED_TRACE("cancelled while a batch is in flight");
    auto service = std::make_shared<ScriptedTranslationService>();
    service->setStatus("en", PairStatus::installed);
    std::stop_source stop;
    service->onBatch([&](const ScriptedTranslationService::Batch&) { stop.request_stop(); });
    Deliveries deliveries;
    EXPECT_EQ(Translator::run(texts, target("es"), deliveries.callback(), stop.get_token(), service),
              std::vector<std::string>{"翻译被中断"});
    EXPECT_EQ(service->batches().size(), 1u);
    ASSERT_EQ(deliveries.all.size(), 1u);  // the batch in flight completes and is delivered
    EXPECT_EQ(deliveries.all[0].size(), 40u);
  }
  {
    SCOPED_TRACE("cancelled before the run");
    auto service = std::make_shared<ScriptedTranslationService>();
    service->setStatus("en", PairStatus::installed);
    std::stop_source stop;
    stop.request_stop();
    Deliveries deliveries;
    EXPECT_EQ(Translator::run(texts, target("es"), deliveries.callback(), stop.get_token(), service),
              std::vector<std::string>{"翻译被中断"});
    EXPECT_TRUE(service->batches().empty());
  }
}

TEST(Translator, ResponsesAreMatchedByClientIdentifierOnly) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("en", PairStatus::installed);
  service->rewriteResponses([](std::vector<TranslationResponse>& responses) {
    responses = {
        {"2", "third"},  {"+0", "first"}, {std::nullopt, "no id"}, {"1", "second (old)"},
        {"1", "second"}, {"3", "past the batch"}, {"-1", "negative"}, {" 2", "space"},
        {"x", "letters"}, {"99999999999999999999999", "overflow"}, {"", "empty"},
    };
  });
  const std::vector<std::string> texts = {"alpha one", "beta two", "gamma three"};
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("es"), deliveries.callback(), {}, service).empty());
  ASSERT_EQ(deliveries.all.size(), 1u);
  EXPECT_EQ(deliveries.all[0], (TranslationDict{{"alpha one", "first"}, {"beta two", "second"},
                                                       {"gamma three", "third"}}));
}

// Runs of spaces an engine adds between words are made one; runs the source has stay.
TEST(Translator, DoubledSpacesOfAnEngineAreCollapsed) {
  struct Case { const char* name; std::string source, engine, want; };
  const Case kCases[] = {
      {"between sentences", "Quick answer. I booked the train.", "respuesta rápida.  He reservado",
       "respuesta rápida. He reservado"},
      {"a long run inside", "Could you send me", "Podría   me  envío", "Podría me envío"},
      {"source aligns with spaces", "Name    Value", "Nombre    Valor", "Nombre    Valor"},
      {"line breaks and tabs stay", "One.\n\nTwo.", "Uno.\n\n\tDos.", "Uno.\n\n\tDos."},
      {"no-break spaces stay", "a b", "a\u00a0\u00a0b", "a\u00a0\u00a0b"},
  };
  std::map<std::string, std::string> engine;
  std::vector<std::string> texts;
  for (const auto& c : kCases) {
    engine[c.source] = c.engine;
    texts.push_back(c.source);
  }
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("en", PairStatus::installed);
  service->rewriteResponses([&](std::vector<TranslationResponse>& responses) {
    for (auto& response : responses) {
      const std::string source = response.targetText.substr(response.targetText.find(']') + 1);
      response.targetText = engine.at(source);
    }
  });
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("es"), deliveries.callback(), {}, service).empty());
  ASSERT_EQ(deliveries.all.size(), 1u);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(deliveries.all[0].at(c.source), c.want);
  }
}

// A translation far longer than its source fails its batch instead of being delivered (and
// cached): 20 times the source plus 1,000 characters is accepted, one character more is not.
TEST(Translator, RunawayTranslationsFailTheirBatch) {
  std::vector<std::string> texts;
  for (int i = 0; i < 45; ++i) texts.push_back("Item number " + std::to_string(i) + " is ready");
  const std::string& longest = texts[0];  // "Item number 0 is ready": 22 characters
  for (size_t extra : {0u, 1u}) {
    SCOPED_TRACE(extra);
    const size_t length = 20 * longest.size() + 1000 + extra;
    auto service = std::make_shared<ScriptedTranslationService>();
    service->setStatus("en", PairStatus::installed);
    service->rewriteResponses([&](std::vector<TranslationResponse>& responses) {
      for (auto& response : responses) {
        if (response.targetText.ends_with("]" + longest)) {
          // Two-byte characters: the limit counts characters, not bytes.
          std::string text;
          for (size_t i = 0; i < length; ++i) text += "é";
          response.targetText = text;
        }
      }
    });
    Deliveries deliveries;
    auto errors = Translator::run(texts, target("es"), deliveries.callback(), {}, service);
    if (extra == 0) {
      EXPECT_TRUE(errors.empty());
      EXPECT_EQ(deliveries.count(longest), 1u);
      EXPECT_EQ(deliveries.all.size(), 2u);
    } else {
      EXPECT_EQ(errors, std::vector<std::string>{"系统翻译出错：译文比原文长得多（1441 个字符），这一批没有采用"});
      EXPECT_TRUE(deliveries.all.empty());  // the batch is dropped, and the rest of its group
      EXPECT_EQ(service->batches().size(), 1u);
    }
  }
}

TEST(Translator, ConcurrentRunsDeliverFromTheirOwnThreads) {
  auto service = std::make_shared<ScriptedTranslationService>();
  service->setStatus("en", PairStatus::installed);
  std::mutex mutex;
  TranslationDict merged;
  auto deliver = [&](TranslationDict d) {
    std::lock_guard lock(mutex);
    merged.merge(d);
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::vector<std::string> texts;
      for (int i = 0; i < 60; ++i) texts.push_back("Run " + std::to_string(t) + " item " + std::to_string(i));
      EXPECT_TRUE(Translator::run(texts, target("es"), deliver, {}, service).empty());
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(merged.size(), 240u);
  EXPECT_EQ(service->batches().size(), 8u);
}

TEST(Translator, TranslatesWithRealApertium) {
  if (!std::filesystem::exists("/usr/share/apertium/modes/eng-spa.mode"))
    GTEST_SKIP() << "apertium-eng-spa is not installed (scripts/setup.sh installs it)";
  platform::SystemServiceOptions options;
  options.configFile = "/nonexistent/translators.json";
  auto service = std::make_shared<platform::SystemTranslationService>(options);
  const std::vector<std::string> texts = {
      "The house is red.", "I have two dogs.",
      "We will meet on Thursday to discuss the budget for the next year.",
  };
  Deliveries deliveries;
  EXPECT_TRUE(Translator::run(texts, target("es"), deliveries.callback(), {}, service).empty());
  ASSERT_EQ(deliveries.all.size(), 1u);
  EXPECT_EQ(deliveries.all[0].at("The house is red."), "La casa es roja.");
  EXPECT_EQ(deliveries.all[0].size(), 3u);

  // English into Chinese has no pair here.
  EXPECT_EQ(Translator::run(texts, target("zh-Hans"), deliveries.callback(), {}, service),
            std::vector<std::string>{"系统翻译不支持「英语 → 简体中文」：可在设置的“翻译引擎”里选用本机的 Ollama 等翻译服务"});
}

}  // namespace
}  // namespace qy
