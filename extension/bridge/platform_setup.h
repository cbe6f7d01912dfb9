// Installs the Linux platform services into the core: the translation service built from the
// providers (Apertium, the user's command providers). Called once at program start.
#pragma once

namespace qy {

void installPlatformServices();

}  // namespace qy
