// The command line's help and version texts: one entry per subcommand (its usage line, a summary
// for the overview and its own help), so `quillory-ext --help`, `quillory-ext CMD --help` and the
// usage shown after a usage error all come from one table. Constant data; any thread.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qy {

struct CommandHelp {
  std::string_view name;     // "decode"
  std::string_view usage;    // "quillory-ext decode [--wait SECONDS] [--json] [FILE|-]"
  std::string_view summary;  // one line for the overview
  std::string_view details;  // the rest of its own help: options, exit status
};

std::span<const CommandHelp> commandHelps();
std::optional<CommandHelp> commandHelp(std::string_view name);

// "quillory-ext 0.1.0".
std::string versionText();
// The overview: usage, every command with its summary, where the settings live.
std::string overviewHelp();
// A command's own help: usage line, summary, details.
std::string fullHelp(const CommandHelp& help);
// True when the arguments after the command ask for its help ("--help" or "-h").
bool asksForHelp(const std::vector<std::string>& args);

}  // namespace qy
