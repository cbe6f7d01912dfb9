// What doctor and pairs say about the local translation servers of translators.json: each
// refused entry with its reason; for each server whether it runs, whether it has the model, and
// one tiny translation through the real provider (doctor); the pairs each one serves (pairs).
// Only loopback servers are ever asked (platform/local_http.h). Any thread.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "extension/commands/config_check.h"
#include "platform/engine_survey.h"
#include "platform/translators_config.h"

namespace qy {

struct ServerCheckOptions {
  std::chrono::milliseconds surveyLimit{10'000};  // GET of the models or languages
  // The tiny translation; a model that is still loading gets this long too.
  std::chrono::milliseconds translateLimit{120'000};
};

// Doctor's findings for every server entry, in file order; `target` is the configured language.
std::vector<Finding> checkServers(const platform::TranslatorsConfig& config, std::string_view target,
                                  const ServerCheckOptions& options = {});

// The pairs each server serves, for `pairs`: "* → *" for a chat model without listed pairs,
// LibreTranslate's own list when the entry lists none. A server that cannot be asked adds a line
// to `problems` instead.
std::vector<PairEntry> serverPairs(const platform::TranslatorsConfig& config,
                                   std::vector<std::string>& problems,
                                   const ServerCheckOptions& options = {});

}  // namespace qy
