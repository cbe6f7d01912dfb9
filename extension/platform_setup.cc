// The programs' platform wiring.
#include "extension/platform_setup.h"

namespace qy {

void installPlatformServices() {}

}  // namespace qy
