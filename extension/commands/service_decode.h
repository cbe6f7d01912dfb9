// `decode` through the running service: the message goes to `quillory-ext serve` (op
// `process`) when its socket answers, so a filter shares the service's engine, caches and
// running jobs instead of starting an engine of its own.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "core/engine/engine.h"

namespace qy {

// The result the service gives for `input` (the whole input, a leading envelope line included:
// the result's data then holds it too). Nothing when no service answers or the exchange fails,
// so the caller decodes on its own.
std::optional<Engine::Result> decodeThroughService(const std::filesystem::path& socket,
                                                   std::string_view input,
                                                   std::optional<double> wait);

}  // namespace qy
