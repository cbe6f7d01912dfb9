// The scripted test service's bookkeeping.
#include "support/scripted_translation_service.h"

namespace qy::testing {
namespace {

class ScriptedSession final : public TranslationSession {
 public:
  ScriptedSession(ScriptedTranslationService& service, std::string source, std::string target)
      : service_(service), source_(std::move(source)), target_(std::move(target)) {}
  BatchResult translations(const std::vector<TranslationRequest>& requests,
                           const TranslationDeadline& deadline) override {
    return service_.translate(source_, target_, requests, deadline);
  }
  BatchPacing pacing() const override { return service_.pacing(); }

 private:
  ScriptedTranslationService& service_;
  std::string source_, target_;
};

}  // namespace

void ScriptedTranslationService::setStatus(const std::string& source, PairStatus status) {
  std::lock_guard lock(mutex_);
  statuses_[source] = status;
}

void ScriptedTranslationService::failBatch(size_t number, std::string error) {
  std::lock_guard lock(mutex_);
  failures_[number] = std::move(error);
}

void ScriptedTranslationService::setPacing(BatchPacing pacing) {
  std::lock_guard lock(mutex_);
  pacing_ = pacing;
}

void ScriptedTranslationService::timeOutBatch(size_t number) {
  std::lock_guard lock(mutex_);
  timeouts_.insert(number);
}

BatchPacing ScriptedTranslationService::pacing() const {
  std::lock_guard lock(mutex_);
  return pacing_;
}

void ScriptedTranslationService::onBatch(std::function<void(const Batch&)> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
}

void ScriptedTranslationService::rewriteResponses(
    std::function<void(std::vector<TranslationResponse>&)> rewrite) {
  std::lock_guard lock(mutex_);
  rewrite_ = std::move(rewrite);
}

std::vector<std::pair<std::string, std::string>> ScriptedTranslationService::statusQuestions() const {
  std::lock_guard lock(mutex_);
  return questions_;
}

std::vector<ScriptedTranslationService::Batch> ScriptedTranslationService::batches() const {
  std::lock_guard lock(mutex_);
  return batches_;
}

size_t ScriptedTranslationService::sessionsCreated() const {
  std::lock_guard lock(mutex_);
  return sessions_;
}

PairStatus ScriptedTranslationService::status(std::string_view source, std::string_view target) {
  std::lock_guard lock(mutex_);
  questions_.emplace_back(source, target);
  const auto it = statuses_.find(std::string(source));
  return it == statuses_.end() ? PairStatus::unsupported : it->second;
}

std::unique_ptr<TranslationSession> ScriptedTranslationService::session(std::string_view source,
                                                                        std::string_view target) {
  std::lock_guard lock(mutex_);
  ++sessions_;
  return std::make_unique<ScriptedSession>(*this, std::string(source), std::string(target));
}

PackResult ScriptedTranslationService::preparePack(std::string_view, std::string_view) { return {}; }

BatchResult ScriptedTranslationService::translate(const std::string& source,
                                                  const std::string& target,
                                                  const std::vector<TranslationRequest>& requests,
                                                  const TranslationDeadline& deadline) {
  std::function<void(const Batch&)> hook;
  std::function<void(std::vector<TranslationResponse>&)> rewrite;
  std::optional<std::string> failure;
  bool timedOut = false;
  Batch batch{source, target, requests, deadline};
  {
    std::lock_guard lock(mutex_);
    const size_t number = batches_.size();
    batches_.push_back(batch);
    if (const auto it = failures_.find(number); it != failures_.end()) failure = it->second;
    timedOut = timeouts_.count(number) > 0;
    hook = hook_;
    rewrite = rewrite_;
  }
  if (hook) hook(batch);
  if (timedOut) return {{}, "在 120 秒内没有回答", true, {}};
  if (failure) return {{}, *failure};
  BatchResult result;
  for (auto it = requests.rbegin(); it != requests.rend(); ++it)
    result.responses.push_back({it->clientIdentifier, "[" + source + "→" + target + "]" + it->sourceText});
  if (rewrite) rewrite(result.responses);
  return result;
}

}  // namespace qy::testing
