// The command line's help, version and usage-error texts: one entry per subcommand (its usage
// line, a summary for the overview and its own help), so `quillory-ext --help`,
// `quillory-ext CMD --help` and every command's usage errors come from one table. A usage error
// has one form for every command: "quillory-ext CMD：what is wrong", then the command's usage
// line, and exit status 2. Constant data and pure functions; any thread.
#pragma once

#include <cstdio>
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

// The exit status of a usage error.
inline constexpr int kUsageStatus = 2;
// "quillory-ext CMD：MESSAGE\n用法：USAGE\n" for a command of the table.
std::string usageErrorText(std::string_view command, std::string_view message);
// Writes usageErrorText() to `err`; kUsageStatus.
int reportUsageError(std::FILE* err, std::string_view command, std::string_view message);

// The messages usage errors share.
namespace UsageMessage {
// An argument the command does not take: "不认识的选项“--bogus”" for an option, else
// "不接受参数“x”".
std::string stray(std::string_view argument);
// "选项 --wait 后面要跟秒数".
std::string missingValue(std::string_view option, std::string_view what);
// "选项 --wait 要的是秒数，不是“abc”".
std::string badValue(std::string_view option, std::string_view value, std::string_view what);
}  // namespace UsageMessage

}  // namespace qy
