// translators.json from the user's storage root: any bytes parse or are refused without a crash,
// and every command kept has a program name and no NUL in its arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/translators_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto config = qy::platform::TranslatorsConfig::parse(text);
  if (!config) return 0;
  for (const auto& spec : config->commands) {
    if (spec.command.empty() || spec.command.front().empty()) std::abort();
    for (const auto& arg : spec.command)
      if (arg.find('\0') != std::string::npos) std::abort();
  }
  return 0;
}
