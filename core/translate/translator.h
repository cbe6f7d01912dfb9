// Translator: turns a message's segment texts into translations through the translation service.
// It finds the source language of each segment, groups the segments by language, checks once per
// language whether the pair (language, target) is installed, folds unusable languages into the
// language of the whole input, and translates the groups largest first in batches of at most 40
// (and at most the characters a session asks for: BatchPacing), handing each finished batch to
// `deliver` as it completes.
//
// A namespace with one operation and no stored state. run() works synchronously on the calling
// thread (a job's worker); several runs may proceed at once on different threads, since they
// share nothing but the service, which is thread-safe. `deliver` is called on the thread running
// run() and must be safe to call from any thread.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config/config.h"
#include "core/doc/translatable_doc.h"
#include "core/translate/translation_service.h"

namespace qy::Translator {

inline constexpr size_t kBatchSize = 40;

// The error of a run that was told to stop before it had translated everything: what it leaves
// out is not translated, and the caller must not take the run for a finished one.
inline constexpr std::string_view kStoppedError = "翻译被中断";

// What the message of a pair nothing can translate goes on to say: what the user can do about it.
inline constexpr std::string_view kNoEngineAdvice = "：可在设置的“翻译引擎”里选用本机的 Ollama 等翻译服务";

// A translation longer than kMaxLengthFactor times its source plus kLengthAllowance characters
// fails its batch. No language pair comes near it (a few times the source at most); such an
// answer is a runaway engine, and caching it would make every later display of the message slow
// and large. The allowance keeps short sources (a word that becomes a phrase) clear of the rule.
inline constexpr size_t kMaxLengthFactor = 20;
inline constexpr size_t kLengthAllowance = 1000;

// The translation as received from an engine, with each run of spaces (U+0020) made one space,
// unless the source itself has such a run (plain text that aligns with spaces keeps its runs).
// Some engines put two spaces between words, which plain-text mail would show.
std::string collapseSpaces(std::string_view source, std::string translation);

// Translates `texts` into cfg.targetLanguage. `deliver` gets one dictionary per batch the
// service translated (exactly that batch's results), never for a failed batch. Cancellation is
// observed through `stop` before each batch. The result is the list of user-facing error
// messages, empty when all went well (kStoppedError among them when it stopped early).
// Translations are received through collapseSpaces(). `service` defaults to
// TranslationService::shared().
std::vector<std::string> run(const std::vector<std::string>& texts, const Config& cfg,
                             const std::function<void(TranslationDict)>& deliver,
                             std::stop_token stop = {},
                             std::shared_ptr<TranslationService> service = nullptr);

}  // namespace qy::Translator
