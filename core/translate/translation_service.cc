// The process-wide translation service slot, and the service that stands in until one is set.
#include "core/translate/translation_service.h"

#include <mutex>
#include <utility>

namespace qy {
namespace {

// Supports nothing: every pair reads as unsupported and every batch fails.
class NoTranslationService final : public TranslationService {
 public:
  PairStatus status(std::string_view, std::string_view) override { return PairStatus::unsupported; }
  std::unique_ptr<TranslationSession> session(std::string_view, std::string_view) override {
    class Failing final : public TranslationSession {
     public:
      BatchResult translations(const std::vector<TranslationRequest>&) override {
        return {{}, "没有可用的翻译服务"};
      }
    };
    return std::make_unique<Failing>();
  }
  PackResult preparePack(std::string_view, std::string_view) override {
    return {"没有可用的翻译服务"};
  }
};

std::mutex sharedMutex;
std::shared_ptr<TranslationService> sharedService;  // guarded by sharedMutex

}  // namespace

std::shared_ptr<TranslationService> TranslationService::shared() {
  std::lock_guard lock(sharedMutex);
  if (!sharedService) sharedService = std::make_shared<NoTranslationService>();
  return sharedService;
}

void TranslationService::setShared(std::shared_ptr<TranslationService> service) {
  std::lock_guard lock(sharedMutex);
  sharedService = std::move(service);
}

}  // namespace qy
