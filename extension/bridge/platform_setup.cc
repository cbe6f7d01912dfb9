// The programs' platform wiring.
#include "extension/bridge/platform_setup.h"

#include "core/translate/translation_service.h"
#include "platform/system_translation_service.h"

namespace qy {

void installPlatformServices() {
  TranslationService::setShared(platform::systemTranslationService());
}

}  // namespace qy
