// The doctor command of quillory-ext: the checks, in the order a user would fix things.
#include "extension/commands/doctor_command.h"

#include "extension/commands/server_checks.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "core/base/own_directory.h"
#include "core/config/config.h"
#include "extension/commands/command_help.h"
#include "core/config/lang_names.h"
#include "core/config/paths.h"
#include "core/translate/lang.h"
#include "platform/apertium_provider.h"
#include "platform/child_process.h"
#include "protocol/host_client.h"
#include "platform/system_translation_service.h"

namespace qy {
namespace {

namespace fs = std::filesystem;

// Files larger than this are not settings a user wrote; the doctor does not read them whole.
constexpr size_t kMaxSettingsBytes = 1024 * 1024;
constexpr auto kVersionQueryLimit = std::chrono::seconds(10);

class Report {
 public:
  void ok(std::string text) { findings.push_back({FindingLevel::ok, std::move(text)}); }
  void note(std::string text) { findings.push_back({FindingLevel::note, std::move(text)}); }
  void problem(std::string text) { findings.push_back({FindingLevel::problem, std::move(text)}); }
  std::vector<Finding> findings;
};

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::string sizeText(uintmax_t bytes) {
  char text[32];
  if (bytes < 1024) return std::to_string(bytes) + " 字节";
  if (bytes < 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(bytes) / 1024);
  else
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024));
  return text;
}

// The whole of a small file, or nothing (with the reason) when it cannot be read.
std::optional<std::string> readSmallFile(const fs::path& file, std::string& reason) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    reason = std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buffer[16 * 1024];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxSettingsBytes)
    text.append(buffer, static_cast<size_t>(n));
  const int readError = n < 0 ? errno : 0;
  close(fd);
  if (readError) {
    reason = std::strerror(readError);
    return std::nullopt;
  }
  if (text.size() > kMaxSettingsBytes) {
    reason = "超过 " + sizeText(kMaxSettingsBytes);
    return std::nullopt;
  }
  return text;
}

// The storage root: exists (or can be created), a directory of ours that nobody else can
// change, writable. Checked as the programs open it, but without creating or tightening anything:
// what they would fix by themselves is worth knowing, not a problem.
void checkStorage(const fs::path& root, Report& report) {
  struct stat info {};
  if (stat(root.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      report.problem("存储目录 " + root.string() + " 无法访问：" + std::strerror(errno));
      return;
    }
    // The first write creates it; find out whether that can work.
    fs::path existing = root;
    while (!existing.empty() && existing != existing.parent_path() && stat(existing.c_str(), &info) != 0)
      existing = existing.parent_path();
    if (!S_ISDIR(info.st_mode))
      report.problem("存储目录 " + root.string() + " 无法创建：" + existing.string() + " 不是目录");
    else if (access(existing.c_str(), W_OK | X_OK) != 0)
      report.problem("存储目录 " + root.string() + " 无法创建：" + existing.string() + " 不可写");
    else
      report.ok("存储目录 " + root.string() + " 还不存在，第一次使用时创建（0700）");
    return;
  }
  // The programs tighten a directory of ours with group or other permissions to 0700.
  const bool ours = S_ISDIR(info.st_mode) && info.st_uid == geteuid();
  const auto opened = OwnDirectory::open(root, {.followOwnLink = true});
  if (!opened.ok() && !(ours && (info.st_mode & 022) != 0)) {
    report.problem("存储目录不可用：" + opened.refusal + "；设置用默认值，不缓存，不写日志");
    return;
  }
  if (access(root.c_str(), W_OK | X_OK) != 0) {
    report.problem("存储目录 " + root.string() + " 不可写：设置保存不了，缓存和日志也写不进去");
    return;
  }
  if ((info.st_mode & 077) != 0) {
    report.note("存储目录 " + root.string() + " 的权限是 " + octal(info.st_mode) + "：下次使用时改为 0700");
    return;
  }
  report.ok("存储目录 " + root.string() + "（0700，可写）");
}

// config.json, and the settings that apply.
Config checkConfig(const fs::path& root, Report& report) {
  const fs::path file = root / "config.json";
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) {
    report.ok("config.json 不存在：全部设置用默认值");
    return {};
  }
  std::string reason;
  const auto text = readSmallFile(file, reason);
  if (!text) {
    report.problem("config.json 无法读取（" + reason + "）：全部设置用默认值");
    return {};
  }
  const auto findings = checkConfigText(*text);
  for (const auto& finding : findings) report.findings.push_back(finding);
  const Config cfg = Config::decode(*text).value_or(Config{});
  if (findings.empty()) report.ok("config.json 可以读取，每个键都有效");
  return cfg;
}

// translators.json: accepted or refused by the service's own rule, then entry by entry.
void checkTranslators(const fs::path& file, Report& report) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(file, ec))) {
    report.ok("translators.json 不存在：只用 Apertium");
    return;
  }
  if (auto refusal = platform::TranslatorsConfig::refusal(file))
    return report.problem("translators.json 不被采用：" + *refusal + "；只用 Apertium");
  std::string reason;
  const auto text = readSmallFile(file, reason);
  if (!text) return report.problem("translators.json 无法读取（" + reason + "）");
  const nlohmann::json root = nlohmann::json::parse(*text, nullptr, false);

  bool clean = true;
  if (auto apertium = root.find("apertium"); apertium != root.end() && !apertium->is_boolean()) {
    report.problem("translators.json：“apertium” 应为 true 或 false；按 true 处理");
    clean = false;
  }
  if (auto commands = root.find("commands"); commands != root.end()) {
    if (!commands->is_array()) {
      report.problem("translators.json：“commands” 应为数组；没有翻译程序");
      clean = false;
    } else {
      for (size_t i = 0; i < commands->size(); ++i) {
        const nlohmann::json& entry = (*commands)[i];
        const auto single = platform::TranslatorsConfig::parse(
            nlohmann::json{{"commands", nlohmann::json::array({entry})}}.dump());
        const std::string where = "translators.json：commands 第 " + std::to_string(i + 1) + " 项";
        if (!single || single->commands.empty()) {
          report.problem(where + "被跳过：需要 “command”，一个以程序开头的字符串数组");
          clean = false;
          continue;
        }
        const auto pairs = entry.find("pairs");
        const size_t listed = pairs != entry.end() && pairs->is_array() ? pairs->size() : 0;
        if (pairs != entry.end() && (!pairs->is_array() || single->commands[0].pairs.size() != listed)) {
          report.problem(where + "：“pairs” 里有无效的项（每项应为 [源语言或 \"*\", 目标语言]），已跳过");
          clean = false;
        }
      }
    }
  }
  if (clean) report.ok("translators.json 已采用");
}

std::optional<std::string> apertiumVersion(const SurveyOptions& options) {
  const auto program = platform::findProgram("apertium", options.searchPath);
  if (!program) return std::nullopt;
  std::string error, output;
  auto chain = platform::ProcessChain::start({{*program, "-V"}}, error);
  if (!chain) return std::nullopt;
  const auto deadline = platform::SteadyClock::now() + kVersionQueryLimit;
  constexpr size_t kMaxVersionBytes = 4096;
  chain->communicate("", deadline, output, kMaxVersionBytes);
  chain->wait(deadline);
  const size_t end = output.find('\n');
  output = output.substr(0, end);
  return output.empty() ? std::nullopt : std::optional(output);
}

void checkApertium(const EngineSurvey& survey, const SurveyOptions& options, Report& report) {
  if (!survey.apertiumEnabled) return report.note("Apertium 已在 translators.json 里关闭（\"apertium\": false）");
  if (!survey.apertiumTools)
    return report.note("没有安装 Apertium（Debian 软件包 apertium，另加语言对软件包，如 apertium-eng-spa）");
  std::string pairs;
  for (const auto& entry : survey.pairs)
    if (entry.installed && entry.via.find("translators.json") == std::string::npos)
      pairs += (pairs.empty() ? "" : "、") + entry.source + " → " + entry.target;
  const std::string version = apertiumVersion(options).value_or("Apertium（版本不明）");
  if (pairs.empty())
    report.note(version + "：还没有安装语言对（quillory-ext pairs 列出可以安装的）");
  else
    report.ok(version + "：已安装语言对 " + pairs);
}

// Each command provider: found, and still running a moment after it was started (it is asked
// nothing and stopped again).
void checkCommands(const EngineSurvey& survey, std::chrono::milliseconds startCheck, Report& report) {
  for (const auto& spec : survey.translators.commands) {
    const std::string& name = spec.command.front();
    std::string pairs;
    for (const auto& [source, target] : spec.pairs) pairs += (pairs.empty() ? "" : "、") + source + " → " + target;
    if (pairs.empty()) pairs = "（没有列出语言对，不会被用到）";
    const auto program = platform::findProgram(name);
    if (!program) {
      report.problem("找不到翻译程序 " + name + "（translators.json）");
      continue;
    }
    std::vector<std::string> argv = spec.command;
    argv.front() = *program;
    std::string error;
    auto chain = platform::ProcessChain::start({argv}, error);
    if (!chain) {
      report.problem("翻译程序 " + name + " 无法启动：" + error);
      continue;
    }
    // Its standard input stays open, as in use: a program that ends now would end on every batch.
    const auto deadline = platform::SteadyClock::now() + startCheck;
    bool ended = false;
    while (!(ended = chain->exited()) && platform::SteadyClock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended) {
      const auto code = chain->wait(platform::SteadyClock::now());
      report.problem("翻译程序 " + name + " 启动后立刻退出了" +
                     (code ? "（退出码 " + std::to_string(*code) + "）" : std::string()));
      continue;
    }
    report.ok("翻译程序 " + name + " 能启动：" + pairs);
  }  // each chain is killed and reaped as it goes out of scope
}

std::string chineseName(const std::string& code) { return LangNames::chinese(code) + "（" + code + "）"; }

// Whether anything translates into the target, from which sources, or what would add it.
void checkTarget(const Config& cfg, const EngineSurvey& survey, const DoctorOptions& options, Report& report) {
  const std::string& target = cfg.targetLanguage;
  if (target.empty()) return;
  platform::SystemServiceOptions serviceOptions;
  serviceOptions.configFile = options.survey.translatorsFile;
  serviceOptions.apertium.modesDirectory = options.survey.modesDirectory;
  serviceOptions.apertium.searchPath = options.survey.searchPath;
  platform::SystemTranslationService service(serviceOptions);

  std::set<std::string> sources = {"en"};
  for (const auto& entry : LangNames::common) sources.emplace(entry.id);
  for (const auto& entry : survey.pairs)
    if (entry.source != "*") sources.insert(entry.source);
  std::string from;
  std::map<std::string, std::string> packages;  // package → the source languages it adds
  for (const auto& source : sources) {
    if (Lang::base(source) == Lang::base(target)) continue;
    const PairStatus status = service.status(source, target);
    if (status == PairStatus::installed) from += (from.empty() ? "" : "、") + LangNames::chinese(source);
    // Without the Apertium tools every pair reads as unsupported; the package table still knows.
    if (status != PairStatus::installed)
      if (auto package = platform::ApertiumProvider::packageFor(source, target)) {
        std::string& names = packages[std::string(*package)];
        names += (names.empty() ? "从" : "、") + LangNames::chinese(source);
      }
  }
  const std::string name = "目标语言 " + chineseName(target);
  // "qaa" is a code reserved for private use: only a "*" pair serves it.
  if (service.status("qaa", target) == PairStatus::installed)
    return report.ok(name + "：translators.json 的程序可以从任何语言翻译过来（\"*\"）");
  if (!from.empty()) {
    report.ok(name + "：可以从" + from + "翻译过来");
    // A regional target falls back to its language's plain pairs when no engine has the region.
    const std::string base = Lang::base(target);
    if (base == target) return;
    auto lower = [](std::string text) {
      for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      return text;
    };
    const bool regional = std::any_of(survey.pairs.begin(), survey.pairs.end(), [&](const PairEntry& entry) {
      return entry.installed && lower(entry.target) == lower(target);
    });
    if (!regional)
      report.note("没有引擎有 " + chineseName(target) + " 这个地区变体：按 " + chineseName(base) + " 翻译");
    return;
  }
  if (!packages.empty()) {
    std::string list;
    for (const auto& [package, fromNames] : packages) list += (list.empty() ? "" : "、") + package + "（" + fromNames + "）";
    // English is the likeliest source of mail; suggest its package when there is one.
    std::string example = packages.begin()->first;
    if (auto english = platform::ApertiumProvider::packageFor("en", target)) example = std::string(*english);
    if (!survey.apertiumEnabled)
      return report.problem(name + "：没有可用的翻译引擎；translators.json 关闭了 Apertium，打开它（\"apertium\": true）"
                            "并安装其中一个 Debian 软件包：" + list);
    return report.problem(name + "：没有已安装的翻译引擎；这些 Debian 软件包可以添加：" + list +
                          "；例如 sudo apt-get install " + (survey.apertiumTools ? "" : "apertium ") + example);
  }
  report.problem(name + "：本机没有能翻译成它的引擎，Debian 12 也没有这样的 Apertium 语言对；"
                 "请在设置的“翻译引擎”里选用本机的翻译服务（如 Ollama：ollama pull qwen2.5:7b），"
                 "或在 translators.json 里接入一个本地翻译程序（见 README：接入其他翻译引擎），"
                 "或者在 config.json 里换一个目标语言（quillory-ext pairs 列出可用的）");
}

// The service's socket, and the user unit in the places systemd looks.
void checkService(const fs::path& root, Report& report) {
  const fs::path socketPath = protocol::serviceSocketPath(root);
  bool running = false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.string().size() < sizeof address.sun_path) {
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.string().size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      running = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
      close(fd);
    }
  }
  if (running)
    report.ok("服务 quillory-ext serve 正在运行（" + socketPath.string() + "）");
  else
    report.note("服务 quillory-ext serve 没有运行：decode 在自己的进程里翻译，每次都要重新启动引擎"
                "（quillory-ext install-service 让服务常驻）");

  std::vector<fs::path> directories;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  const char* data = std::getenv("XDG_DATA_HOME");
  if (config && *config == '/') directories.emplace_back(fs::path(config) / "systemd/user");
  if (home && *home) directories.emplace_back(fs::path(home) / ".config/systemd/user");
  if (data && *data == '/') directories.emplace_back(fs::path(data) / "systemd/user");
  if (home && *home) directories.emplace_back(fs::path(home) / ".local/share/systemd/user");
  for (const char* system : {"/etc/systemd/user", "/usr/local/share/systemd/user", "/usr/local/lib/systemd/user",
                             "/usr/share/systemd/user", "/usr/lib/systemd/user"})
    directories.emplace_back(system);
  for (const auto& directory : directories) {
    std::error_code ec;
    if (fs::exists(directory / "quillory-ext.service", ec))
      return report.ok("用户服务单元 " + (directory / "quillory-ext.service").string());
  }
  report.note("没有安装用户服务单元 quillory-ext.service");
}

void checkCache(const fs::path& root, Report& report) {
  const fs::path cache = root / "cache";
  std::error_code ec;
  if (!fs::is_directory(cache, ec)) return report.ok("翻译缓存：还没有（" + cache.string() + "）");
  uintmax_t bytes = 0;
  size_t files = 0;
  for (fs::directory_iterator it(cache, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code sizeError;
    if (!it->is_regular_file(sizeError)) continue;
    const uintmax_t size = it->file_size(sizeError);
    if (sizeError) continue;
    bytes += size;
    ++files;
  }
  report.ok("翻译缓存：" + std::to_string(files) + " 个文件，" + sizeText(bytes) + "（" + cache.string() + "）");
}

}  // namespace

std::vector<Finding> runDoctorChecks(const DoctorOptions& options) {
  Report report;
  const fs::path root = options.root.empty() ? Paths::root() : options.root;
  DoctorOptions resolved = options;
  if (resolved.survey.translatorsFile.empty()) resolved.survey.translatorsFile = root / "translators.json";

  checkStorage(root, report);
  const Config cfg = checkConfig(root, report);
  checkTranslators(resolved.survey.translatorsFile, report);
  const EngineSurvey survey = surveyEngines(resolved.survey);
  checkApertium(survey, resolved.survey, report);
  checkCommands(survey, options.startCheck, report);
  for (auto& finding : checkServers(survey.translators, cfg.targetLanguage, options.servers))
    report.findings.push_back(std::move(finding));
  checkTarget(cfg, survey, resolved, report);
  checkService(root, report);
  checkCache(root, report);
  return report.findings;
}

int runDoctor(const std::vector<std::string>& args, const DoctorOptions& options, std::FILE* out,
              std::FILE* err) {
  if (!args.empty()) {
    return reportUsageError(err, "doctor", UsageMessage::stray(args[0]));
  }
  const auto findings = runDoctorChecks(options);
  const Finding* first = nullptr;
  for (const auto& finding : findings) {
    const char* mark = finding.level == FindingLevel::ok ? "✓" : finding.level == FindingLevel::note ? "!" : "✗";
    std::fprintf(out, "%s %s\n", mark, finding.text.c_str());
    if (finding.level == FindingLevel::problem && !first) first = &finding;
  }
  if (first)
    std::fprintf(out, "\n第一个问题：%s\n", first->text.c_str());
  else
    std::fputs("\n一切正常。\n", out);
  std::fflush(out);
  return first ? 1 : 0;
}

}  // namespace qy
