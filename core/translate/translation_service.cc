// The process-wide translation service slot, and the service that stands in until one is set.
#include "core/translate/translation_service.h"

#include <utility>

#include "core/base/thread_annotations.h"

namespace qy {
namespace {

// Supports nothing: every pair reads as unsupported and every batch fails.
class NoTranslationService final : public TranslationService {
 public:
  PairStatus status(std::string_view, std::string_view) override { return PairStatus::unsupported; }
  std::unique_ptr<TranslationSession> session(std::string_view, std::string_view) override {
    class Failing final : public TranslationSession {
     public:
      BatchResult translations(const std::vector<TranslationRequest>&,
                               const TranslationDeadline&) override {
        return {{}, "没有可用的翻译服务"};
      }
    };
    return std::make_unique<Failing>();
  }
  PackResult preparePack(std::string_view, std::string_view) override {
    return {"没有可用的翻译服务"};
  }
};

Mutex sharedMutex;
std::shared_ptr<TranslationService> sharedService QY_GUARDED_BY(sharedMutex);

}  // namespace

std::shared_ptr<TranslationService> TranslationService::shared() {
  MutexLock lock(sharedMutex);
  if (!sharedService) sharedService = std::make_shared<NoTranslationService>();
  return sharedService;
}

void TranslationService::setShared(std::shared_ptr<TranslationService> service) {
  {
    MutexLock lock(sharedMutex);
    sharedService.swap(service);
  }
  // The service replaced (now in `service`) is released outside the lock: its end may stop engines.
}

}  // namespace qy
