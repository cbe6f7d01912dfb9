// Writing, enabling and removing the service's systemd user unit.
#include "extension/commands/install_service_command.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "core/base/file_io.h"
#include "core/config/paths.h"
#include "extension/commands/command_help.h"
#include "platform/child_process.h"
#include "protocol/host_client.h"

namespace qy {
namespace {

// How long one systemctl call may take.
constexpr auto kSystemctlLimit = std::chrono::seconds(60);
// How long a running service may take to answer `hello`.
constexpr auto kServiceAnswerLimit = std::chrono::seconds(5);

// A word of ExecStart or Environment in systemd's syntax: specifiers' '%' doubled; quoted, with
// backslashes and quotes escaped, when it holds anything but plain path characters.
std::string unitWord(const std::string& word) {
  std::string escaped;
  bool plain = !word.empty();
  for (char c : word) {
    if (c == '%') {
      escaped += "%%";
      continue;
    }
    bool safe = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == '=' || c == ':';
    if (!safe) plain = false;
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return plain ? escaped : "\"" + escaped + "\"";
}

std::filesystem::path ownBinary() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path("quillory-ext") : self;
}

// Runs `systemctl --user ARGS…`; whether it ran and succeeded.
bool systemctl(const std::vector<std::string>& args) {
  auto program = platform::findProgram("systemctl");
  if (!program) return false;
  std::vector<std::string> argv = {*program, "--user"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  auto chain = platform::ProcessChain::start({argv}, error);
  if (!chain) return false;
  auto deadline = platform::SteadyClock::now() + kSystemctlLimit;
  std::string output;
  chain->communicate("", deadline, output, 1 << 16);
  return chain->wait(deadline) == 0;
}

// Whether a service (started by hand, say) already answers on this storage root's socket.
bool serviceRuns() {
  return protocol::HostClient::connect(protocol::serviceSocketPath(Paths::root()),
                                       kServiceAnswerLimit) != nullptr;
}

bool noArguments(const std::vector<std::string>& args, const char* command, std::FILE* err) {
  if (args.empty()) return true;
  reportUsageError(err, command, UsageMessage::stray(args[0]));
  return false;
}

}  // namespace

std::string serviceUnitText(const std::filesystem::path& binary,
                            const std::optional<std::string>& home) {
  std::string unit =
      "# Written by 'quillory-ext install-service'; 'quillory-ext uninstall-service' removes it.\n"
      "[Unit]\n"
      "Description=Quillory mail extension (on-device translation for mail hosts)\n"
      "\n"
      "[Service]\n"
      "Type=simple\n"
      "ExecStart=" + unitWord(binary.string()) + " serve\n";
  if (home) unit += "Environment=" + unitWord("QY_HOME=" + *home) + "\n";
  unit +=
      "Restart=on-failure\n"
      "RestartSec=2\n"
      "# systemd's default, stated so that it stays: translation engines that leave their process\n"
      "# group are still in the service's control group and end with it.\n"
      "KillMode=control-group\n"
      "\n"
      "[Install]\n"
      "WantedBy=default.target\n";
  return unit;
}

std::filesystem::path userUnitDirectory() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::filesystem::path(config) / "systemd" / "user";
  const char* home = std::getenv("HOME");
  std::string base = home && home[0] == '/' ? home : "";
  if (base.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) base = entry->pw_dir;
  }
  return std::filesystem::path(base) / ".config" / "systemd" / "user";
}

int runInstallService(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (!noArguments(args, "install-service", err)) return 2;
  const std::filesystem::path directory = userUnitDirectory();
  const std::filesystem::path unit = directory / kServiceUnitName;
  std::optional<std::string> home;
  if (const char* value = std::getenv("QY_HOME"); value && value[0]) home = value;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (!FileIO::writeAtomically(unit, serviceUnitText(ownBinary(), home), true)) {
    std::fprintf(err, "quillory-ext install-service：无法写入 %s\n", unit.c_str());
    return 1;
  }
  // A service started by hand holds the storage root: the unit's own would exit at once and be
  // restarted until systemd gives up. Enabled, the unit starts at the next login instead.
  const bool runningByHand = serviceRuns();
  std::vector<std::string> enable = {"enable", kServiceUnitName};
  if (!runningByHand) enable.insert(enable.begin() + 1, "--now");
  if (!systemctl({"daemon-reload"}) || !systemctl(enable)) {
    std::fprintf(err,
                 "quillory-ext install-service：这里没有用户级 systemd（systemctl --user 失败）；"
                 "服务单元已写入 %s，请自己运行“quillory-ext serve”\n",
                 unit.c_str());
    return 1;
  }
  if (runningByHand) {
    std::fprintf(out,
                 "quillory-ext：%s 已安装并启用（%s）。已有一个手动启动的服务在运行：它停止后运行"
                 "“systemctl --user start %s”，或者等下次登录时自动启动\n",
                 kServiceUnitName, unit.c_str(), kServiceUnitName);
    return 0;
  }
  std::fprintf(out, "quillory-ext：%s 已安装、已启用并在运行（%s）\n", kServiceUnitName,
               unit.c_str());
  return 0;
}

int runUninstallService(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (!noArguments(args, "uninstall-service", err)) return 2;
  const std::filesystem::path unit = userUnitDirectory() / kServiceUnitName;
  // Disabling needs the unit file, so it comes first; the file goes whatever systemd says.
  bool stopped = systemctl({"disable", "--now", kServiceUnitName});
  std::error_code error;
  bool existed = std::filesystem::remove(unit, error);
  if (error) {
    std::fprintf(err, "quillory-ext uninstall-service：无法删除 %s：%s\n", unit.c_str(),
                 error.message().c_str());
    return 1;
  }
  if (!stopped || !systemctl({"daemon-reload"})) {
    std::fprintf(err,
                 "quillory-ext uninstall-service：这里没有用户级 systemd（systemctl --user 失败）；"
                 "%s\n",
                 existed ? ("服务单元 " + unit.string() + " 已删除").c_str() : "没有安装过服务单元");
    return 1;
  }
  std::fprintf(out, "quillory-ext：%s 已停止、停用并删除\n", kServiceUnitName);
  return 0;
}

}  // namespace qy
