// The doctor's reading of config.json: everything the tolerant reader passes over in silence —
// text that is not a JSON object, keys it does not know, values of the wrong type, values outside
// their set — each named with the value that applies instead. Uses the real reader (Config) to
// decide what is accepted, so the two never disagree. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qy {

enum class FindingLevel { ok, note, problem };

struct Finding {
  FindingLevel level = FindingLevel::ok;
  std::string text;
  bool operator==(const Finding&) const = default;
};

// Findings for the text of config.json (problems only; nothing when every key is right).
std::vector<Finding> checkConfigText(std::string_view text);

}  // namespace qy
