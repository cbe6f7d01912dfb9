// Grouping by language, availability, largest-first batches and the translator's messages.
#include "core/translate/translator.h"

#include <algorithm>
#include <climits>
#include <map>
#include <optional>
#include <utility>

#include "core/base/unicode.h"
#include "core/config/lang_names.h"
#include "core/translate/lang.h"

namespace qy::Translator {
namespace {

constexpr size_t kFallbackSampleCharacters = 4000;
constexpr size_t kMinDetectedCharacters = 40;
constexpr double kSegmentConfidence = 0.8;

// Groups in the order their language first appeared, so that equal sizes keep a stable order.
using Groups = std::vector<std::pair<std::string, std::vector<std::string>>>;

std::vector<std::string>& groupFor(Groups& groups, const std::string& language) {
  for (auto& [code, texts] : groups)
    if (code == language) return texts;
  groups.emplace_back(language, std::vector<std::string>{});
  return groups.back().second;
}

// A client identifier as a whole decimal number: optional sign, digits only.
std::optional<long long> parseIdentifier(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    if (value > (LLONG_MAX - (text[i] - '0')) / 10) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

// Code points of UTF-8 text (continuation bytes do not count).
size_t codePoints(std::string_view text) {
  size_t count = 0;
  for (unsigned char byte : text) count += (byte & 0xC0) != 0x80;
  return count;
}

// The end of the batch that starts at `start`: at most kBatchSize texts and, when `maxCharacters`
// is set, at most that many characters, but always at least one text.
size_t batchEnd(const std::vector<std::string>& texts, size_t start, size_t maxCharacters) {
  const size_t last = std::min(texts.size(), start + kBatchSize);
  if (maxCharacters == 0) return last;
  size_t end = start + 1;
  size_t characters = codePoints(texts[start]);
  while (end < last) {
    characters += codePoints(texts[end]);
    if (characters > maxCharacters) break;
    ++end;
  }
  return end;
}

// The language of the whole input, from its first 4000 characters.
std::string fallbackLanguage(const std::vector<std::string>& texts) {
  std::string joined;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += texts[i];
  }
  const std::string_view sample = Unicode::graphemePrefix(joined, kFallbackSampleCharacters);
  return Lang::detect(sample, 0).value_or("en");
}

class Run {
 public:
  Run(const Config& cfg, TranslationService& service) : cfg_(cfg), service_(service) {}

  std::vector<std::string> translate(const std::vector<std::string>& texts,
                                     const std::function<void(TranslationDict)>& deliver,
                                     const std::stop_token& stop) {
    // One deadline for every batch of the run: a hung engine costs a job the limit once.
    TranslationDeadline deadline = TranslationDeadline::after(kTranslationTimeLimit);
    fallback_ = fallbackLanguage(texts);

    Groups groups;
    for (const auto& text : texts) {
      std::string language = fallback_;
      if (Unicode::graphemeCount(text) >= kMinDetectedCharacters)
        language = Lang::detect(text, kSegmentConfidence).value_or(fallback_);
      groupFor(groups, language).push_back(text);
    }

    // An unusable language is translated as if it were the fallback language.
    Groups merged;
    for (auto& [language, members] : groups) {
      const std::string key = usable(language) ? language : fallback_;
      auto& into = groupFor(merged, key);
      into.insert(into.end(), members.begin(), members.end());
    }
    std::stable_sort(merged.begin(), merged.end(), [](const auto& a, const auto& b) {
      return a.second.size() > b.second.size();
    });

    for (const auto& [language, members] : merged) {
      if (!usable(language)) continue;
      std::unique_ptr<TranslationSession> session = service_.session(language, cfg_.targetLanguage);
      const BatchPacing pacing = session ? session->pacing() : BatchPacing{};
      for (size_t start = 0, end = 0; start < members.size(); start = end) {
        if (stop.stop_requested()) {
          errors_.push_back(std::string(kStoppedError));
          return std::move(errors_);
        }
        end = batchEnd(members, start, pacing.maxCharacters);
        std::vector<TranslationRequest> requests;
        requests.reserve(end - start);
        for (size_t i = start; i < end; ++i)
          requests.push_back({members[i], std::to_string(i - start)});
        BatchResult result = session ? session->translations(requests, deadline)
                                     : BatchResult{{}, std::string()};
        if (result.error) {
          errors_.push_back("系统翻译出错：" + *result.error);
          // An engine that timed its own request out has had the run's time.
          if (pacing.timesOwnRequests && result.timedOut)
            deadline = {std::chrono::steady_clock::now(), deadline.limit};
          break;  // the rest of this group is abandoned; other groups go on
        }
        // An engine that keeps answering keeps the run going, however many batches it needs.
        if (pacing.timesOwnRequests) deadline = TranslationDeadline::after(kTranslationTimeLimit);
        if (result.partialError) errors_.push_back("系统翻译出错：" + *result.partialError);
        TranslationDict dictionary;
        std::optional<size_t> runaway;  // the length of a translation past all reason
        for (auto& response : result.responses) {
          if (!response.clientIdentifier) continue;
          const std::optional<long long> index = parseIdentifier(*response.clientIdentifier);
          if (!index || *index < 0 || *index >= static_cast<long long>(requests.size())) continue;
          const std::string& source = requests[static_cast<size_t>(*index)].sourceText;
          const size_t length = codePoints(response.targetText);
          if (length > kMaxLengthFactor * codePoints(source) + kLengthAllowance) {
            runaway = length;
            break;
          }
          dictionary[source] = collapseSpaces(source, std::move(response.targetText));
        }
        if (runaway) {
          errors_.push_back("系统翻译出错：译文比原文长得多（" + std::to_string(*runaway) +
                            " 个字符），这一批没有采用");
          break;  // like a failed batch: the rest of this group is abandoned
        }
        if (deliver) deliver(std::move(dictionary));
      }
    }
    return std::move(errors_);
  }

 private:
  // Whether the pair (language, target) is installed; asked once per language. The fallback
  // language's answer also explains itself to the user when it is not.
  bool usable(const std::string& language) {
    if (const auto known = usable_.find(language); known != usable_.end()) return known->second;
    const PairStatus status = service_.status(language, cfg_.targetLanguage);
    const bool installed = status == PairStatus::installed;
    usable_.emplace(language, installed);
    if (!installed && language == fallback_) {
      const std::string pair =
          LangNames::chinese(language) + " → " + LangNames::chinese(cfg_.targetLanguage);
      if (status == PairStatus::supported)
        errors_.push_back("还没下载「" + pair + "」语言包，请打开“Quillory”App 下载");
      else
        errors_.push_back("系统翻译不支持「" + pair + "」" + std::string(kNoEngineAdvice));
    }
    return installed;
  }

  const Config& cfg_;
  TranslationService& service_;
  std::string fallback_;
  std::map<std::string, bool> usable_;
  std::vector<std::string> errors_;
};

}  // namespace

std::string collapseSpaces(std::string_view source, std::string translation) {
  if (source.find("  ") != std::string_view::npos) return translation;
  if (translation.find("  ") == std::string::npos) return translation;
  std::string out;
  out.reserve(translation.size());
  for (char ch : translation) {
    if (ch == ' ' && !out.empty() && out.back() == ' ') continue;
    out += ch;
  }
  return out;
}

std::vector<std::string> run(const std::vector<std::string>& texts, const Config& cfg,
                             const std::function<void(TranslationDict)>& deliver, std::stop_token stop,
                             std::shared_ptr<TranslationService> service) {
  if (texts.empty()) return {};
  if (!service) service = TranslationService::shared();
  return Run(cfg, *service).translate(texts, deliver, stop);
}

}  // namespace qy::Translator
