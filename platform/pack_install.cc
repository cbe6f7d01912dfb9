// Running a pack's installer and reading its outcome; see pack_install.h.
#include "platform/pack_install.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>

#include "platform/child_process.h"

namespace qy::platform {
namespace {

// apt-get prints a few KB for a pack; more than this is not an installer we understand.
constexpr size_t kMaxInstallOutput = 4u * 1024 * 1024;
// The installer's own last error line shown after an unrecognised failure, at most this long.
constexpr size_t kMaxDetail = 300;

std::vector<std::string> splitWords(std::string_view text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const size_t end = std::min(text.find_first_of(" \t", start), text.size());
    words.emplace_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

bool mentions(std::string_view output, std::initializer_list<std::string_view> phrases) {
  return std::any_of(phrases.begin(), phrases.end(), [&](std::string_view phrase) {
    return output.find(phrase) != std::string_view::npos;
  });
}

// The last line apt-get marks as an error ("E: …"), or the last non-empty line.
std::string lastErrorLine(std::string_view output) {
  std::string_view chosen;
  size_t at = 0;
  while (at < output.size()) {
    size_t end = output.find('\n', at);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(at, end - at);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.starts_with("E: ") || (!line.empty() && !chosen.starts_with("E: "))) chosen = line;
    at = end + 1;
  }
  if (chosen.size() > kMaxDetail) chosen = chosen.substr(0, kMaxDetail);
  return std::string(chosen);
}

}  // namespace

std::vector<std::string> packInstallCommand(const std::vector<std::string>& configured) {
  if (!configured.empty()) return configured;
  const char* override = std::getenv("QY_PACK_INSTALL");
  if (override && *override) return splitWords(override);
  // Root has no desktop prompt to answer, and needs none.
  if (geteuid() == 0) return {"apt-get", "install", "-y"};
  return {"pkexec", "apt-get", "install", "-y"};
}

std::optional<std::string> installError(std::string_view package, const InstallOutcome& outcome) {
  const std::string name(package);
  if (outcome.exitCode == 0) return std::nullopt;
  if (!outcome.exitCode) return "安装 " + name + " 没有在规定时间内完成，已停止";
  const std::string_view output = outcome.output;
  // pkexec: 126 when the dialog was dismissed, 127 when authorisation was refused.
  if (outcome.throughPkexec && (*outcome.exitCode == 126 || *outcome.exitCode == 127))
    return "没有得到管理员授权，" + name + " 没有安装";
  // Order matters: an unprivileged apt-get fails on the lock file with "Permission denied".
  if (mentions(output, {"are you root?", "Permission denied"}))
    return "安装软件需要管理员权限，" + name + " 没有安装（请用 sudo apt-get install " + name +
           "）";
  if (mentions(output, {"Could not get lock", "is held by process", "Unable to acquire the dpkg"}))
    return "另一个程序正在安装软件（dpkg 被占用），请等它结束后再试";
  if (mentions(output, {"Unable to locate package", "has no installation candidate"}))
    return "软件源里找不到 " + name + "：请先运行 sudo apt-get update 再试";
  // A mirror that no longer has the file the package lists name: the lists are out of date.
  if (mentions(output, {"404  Not Found", "404 Not Found"}))
    return "软件源的软件包列表过期了，" + name + " 没有下载：请先运行 sudo apt-get update 再试";
  if (mentions(output, {"Temporary failure resolving", "Could not resolve", "Failed to fetch",
                        "Network is unreachable", "Could not connect", "Connection failed"}))
    return "无法连接软件源，" + name + " 没有下载：请检查网络后再试";
  std::string text = "安装 " + name + " 失败（退出码 " + std::to_string(*outcome.exitCode) + "）";
  const std::string detail = lastErrorLine(output);
  if (!detail.empty()) text += "：" + detail;
  return text;
}

PackResult installPackage(std::vector<std::string> command, std::string_view package) {
  if (command.empty()) return {"没有可用的安装命令"};
  const bool throughPkexec =
      command.front() == "pkexec" || command.front().ends_with("/pkexec");
  const std::optional<std::string> program = findProgram(command.front());
  if (!program) return {"找不到安装命令 " + command.front()};
  command.front() = *program;
  command.emplace_back(package);
  std::string error;
  std::unique_ptr<ProcessChain> install = ProcessChain::start(
      {command}, error, {.errorsToOutput = true, .environment = {"LC_ALL=C"}});
  if (!install) return {"无法安装 " + std::string(package) + "：" + error};
  const auto deadline = SteadyClock::now() + kInstallLimit;
  InstallOutcome outcome;
  outcome.throughPkexec = throughPkexec;
  if (install->communicate({}, deadline, outcome.output, kMaxInstallOutput) ==
      ProcessChain::Status::ok)
    outcome.exitCode = install->wait(deadline);
  return {installError(package, outcome)};
}

}  // namespace qy::platform
