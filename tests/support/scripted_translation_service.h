// ScriptedTranslationService: a translation service for tests whose answers are set up in
// advance. Each pair's status comes from a table keyed by source language (unlisted: unsupported);
// a batch translates each text to "[source→target]text" and answers in reverse order (the service
// may answer in any order). It records every question and batch, can fail a chosen batch, and can
// run a hook while a batch is in flight. Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/translate/translation_service.h"

namespace qy::testing {

class ScriptedTranslationService final : public TranslationService {
 public:
  struct Batch {
    std::string source, target;
    std::vector<TranslationRequest> requests;
    TranslationDeadline deadline;
  };

  void setStatus(const std::string& source, PairStatus status);
  // The batch with this 0-based number (counted over the whole service) fails with `error`.
  void failBatch(size_t number, std::string error);
  // How its sessions want their batches cut and timed (default: the translator's own way).
  void setPacing(BatchPacing pacing);
  // The batch with this number fails as one whose engine did not answer in time.
  void timeOutBatch(size_t number);
  BatchPacing pacing() const;
  // Runs in every batch before it answers (on the caller's thread).
  void onBatch(std::function<void(const Batch&)> hook);
  // Rewrites the responses of every batch before they are returned.
  void rewriteResponses(std::function<void(std::vector<TranslationResponse>&)> rewrite);

  std::vector<std::pair<std::string, std::string>> statusQuestions() const;
  std::vector<Batch> batches() const;
  size_t sessionsCreated() const;

  PairStatus status(std::string_view source, std::string_view target) override;
  std::unique_ptr<TranslationSession> session(std::string_view source,
                                              std::string_view target) override;
  PackResult preparePack(std::string_view source, std::string_view target) override;

  BatchResult translate(const std::string& source, const std::string& target,
                        const std::vector<TranslationRequest>& requests,
                        const TranslationDeadline& deadline);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, PairStatus> statuses_;
  std::map<size_t, std::string> failures_;
  std::set<size_t> timeouts_;
  BatchPacing pacing_;
  std::function<void(const Batch&)> hook_;
  std::function<void(std::vector<TranslationResponse>&)> rewrite_;
  std::vector<std::pair<std::string, std::string>> questions_;
  std::vector<Batch> batches_;
  size_t sessions_ = 0;
};

}  // namespace qy::testing
