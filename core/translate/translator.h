// Translator: turns a message's segment texts into translations through the translation service.
// It finds the source language of each segment, groups the segments by language, checks once per
// language whether the pair (language, target) is installed, folds unusable languages into the
// language of the whole input, and translates the groups largest first in batches of at most 40,
// handing each finished batch to `deliver` as it completes.
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
#include <unordered_map>
#include <vector>

#include "core/config/config.h"
#include "core/translate/translation_service.h"

namespace qy::Translator {

// A translation dictionary: a segment's exact source text → its translation.
using Dictionary = std::unordered_map<std::string, std::string>;

inline constexpr size_t kBatchSize = 40;

// Translates `texts` into cfg.targetLanguage. `deliver` gets one dictionary per batch the
// service translated (exactly that batch's results), never for a failed batch. Cancellation is
// observed through `stop` before each batch. The result is the list of user-facing error
// messages, empty when all went well. `service` defaults to TranslationService::shared().
std::vector<std::string> run(const std::vector<std::string>& texts, const Config& cfg,
                             const std::function<void(Dictionary)>& deliver,
                             std::stop_token stop = {},
                             std::shared_ptr<TranslationService> service = nullptr);

}  // namespace qy::Translator
