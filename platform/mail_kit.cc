// ExtensionManager's reloader.
#include "platform/mail_kit.h"

#include <memory>
#include <mutex>

namespace qy::platform {
namespace {

std::mutex reloaderLock;
std::shared_ptr<const ExtensionManager::Reloader> reloader;  // guarded by reloaderLock

}  // namespace

void ExtensionManager::reloadVisibleMessages(Completion completion) {
  std::shared_ptr<const Reloader> current;
  {
    std::lock_guard guard(reloaderLock);
    current = reloader;
  }
  if (current && *current) {
    (*current)(std::move(completion));  // outside the lock: the host may call back
  } else if (completion) {
    completion(std::nullopt);
  }
}

void ExtensionManager::setReloader(Reloader next) {
  auto shared = std::make_shared<const Reloader>(std::move(next));
  std::lock_guard guard(reloaderLock);
  reloader = std::move(shared);
}

}  // namespace qy::platform
