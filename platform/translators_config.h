// TranslatorsConfig: the optional file translators.json in the storage root, which says whether
// Apertium is consulted and which local translation programs (command providers) the user has:
//   {"apertium": true,
//    "commands": [{"command": ["/usr/local/bin/my-mt", "--serve"],
//                  "pairs": [["en", "zh-Hans"], ["*", "es"]]}]}
// The file names programs to run, so it is honoured only when it is a regular file owned by the
// user with no permission bits for group or others. Reading is tolerant: a malformed command or
// pair is skipped, a missing or mistyped "apertium" keeps its default (true).
// A plain value; pure functions; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qy::platform {

struct CommandSpec {
  std::vector<std::string> command;                          // program and arguments
  std::vector<std::pair<std::string, std::string>> pairs;  // (source or "*", target)
  bool operator==(const CommandSpec&) const = default;
};

struct TranslatorsConfig {
  bool apertium = true;
  std::vector<CommandSpec> commands;
  bool operator==(const TranslatorsConfig&) const = default;

  // Nothing when the text is not a JSON object.
  static std::optional<TranslatorsConfig> parse(std::string_view json);
  // The file's settings; the defaults when it is missing, unreadable, not owner-only or not a
  // JSON object.
  static TranslatorsConfig load(const std::filesystem::path& file);
};

}  // namespace qy::platform
