// Help and version texts of quillory-ext.
#include "extension/commands/command_help.h"

#include <algorithm>
#include <array>

#ifndef QY_VERSION
#define QY_VERSION "unknown"
#endif

namespace qy {
namespace {

constexpr std::array<CommandHelp, 10> kCommands = {{
    {"decode", "quillory-ext decode [--wait SECONDS] [--json] [--status-header] [FILE|-]",
     "翻译一封邮件：读入文件或标准输入，把要显示的邮件写到标准输出（用于 procmail、maildrop 等过滤器）",
     "选项：\n"
     "  --wait SECONDS    最多等这么久就输出并结束；没翻完的部分由正在运行的服务接着翻译并缓存，\n"
     "                    没有服务时放弃（默认：等翻译结束）\n"
     "  --json            改为输出一个 JSON 对象：data（Base64 或 null）、banner、action、context、note\n"
     "  --status-header   在邮件最前面加上 X-Quillory-Status 头字段：先是结果关键词（translated、\n"
     "                    partial、pending、error、skipped），再是“; ”和横幅文字或原因\n"
     "                    （发件人自己写的同名字段会被去掉；与 --json 同用时不起作用）\n"
     "  FILE|-            邮件文件；“-”或省略时读标准输入\n"
     "开头的 mbox 信封行（From sender date）原样保留在输出前面。\n"
     "退出状态：翻译的任何结果都是 0；无法读取输入或写出输出是 1；用法错误是 2。\n"},
    {"doctor", "quillory-ext doctor",
     "检查存储目录、config.json、translators.json 和翻译引擎，说明哪里有问题",
     "只读取，不写任何文件。每一项检查一行：✓ 正常，! 提醒，✗ 问题。\n"
     "退出状态：一切正常是 0；发现问题是 1（最后一行说明第一个问题）。\n"},
    {"pairs", "quillory-ext pairs",
     "列出已安装和可以安装的语言对，每行一个",
     "每行：源语言 → 目标语言、状态（已安装／可安装）和提供它的引擎或 Debian 软件包，例如\n"
     "  en → es  已安装  apertium-eng-spa\n"
     "退出状态：0。\n"},
    {"serve", "quillory-ext serve [--reader PATH [--port N] [--no-browser]]",
     "作为常驻服务运行：在存储目录的套接字 ext.sock 上为邮件客户端（宿主）提供服务",
     "选项：\n"
     "  --reader PATH     同时在 127.0.0.1 上提供网页版邮件阅读器，读取 PATH（Maildir、mbox 文件或\n"
     "                    .eml 文件夹）；第一行输出它的网址。已有服务在运行时只启动阅读器，\n"
     "                    由那个服务翻译\n"
     "  --port N          阅读器的端口（0 或省略：任一空闲端口）\n"
     "  --no-browser      不用 xdg-open 打开阅读器\n"
     "宿主协议见 docs/host-protocol.md。只接受本用户的连接；SIGTERM 或 SIGINT 时干净地退出。\n"
     "退出状态：正常结束是 0；已有服务在运行（不带 --reader 时）或无法监听是 1；用法错误是 2。\n"},
    {"reader", "quillory-ext reader PATH [--port N] [--no-browser]",
     "网页版邮件阅读器：在 127.0.0.1 上显示 PATH 里的邮件（Maildir、mbox 文件或 .eml 文件夹），经由正在运行的服务翻译",
     "选项：\n"
     "  --port N          阅读器的端口（0 或省略：任一空闲端口）；第一行输出它的网址\n"
     "  --no-browser      不用 xdg-open 打开阅读器\n"
     "和 quillory-ext serve（包括已安装的用户服务）同时运行；服务重启后自动重新连接。\n"
     "没有正在运行的服务时，在本进程里翻译。SIGTERM 或 SIGINT 时干净地退出。\n"
     "退出状态：正常结束是 0；无法读取邮件或无法监听端口是 1；用法错误是 2。\n"},
    {"install-service", "quillory-ext install-service",
     "写入并启用 systemd 用户单元 quillory-ext.service（systemctl --user enable --now）",
     "单元文件写到 ~/.config/systemd/user/quillory-ext.service。\n"
     "退出状态：成功是 0；没有 systemd 用户实例时单元文件照样写好，退出状态是 1。\n"},
    {"uninstall-service", "quillory-ext uninstall-service",
     "停用并删除 systemd 用户单元 quillory-ext.service",
     "退出状态：成功是 0；失败是 1。\n"},
    {"native-host", "quillory-ext native-host",
     "Thunderbird 的本机消息宿主：在标准输入和输出上说宿主协议（由 Thunderbird 启动）",
     "有运行中的服务时转给它，否则在本进程里翻译。大于 1 MiB 的回答分成编号的片段。\n"
     "退出状态：Thunderbird 关闭标准输入时为 0。\n"},
    {"install-thunderbird", "quillory-ext install-thunderbird",
     "写入 Thunderbird 的本机消息清单，让 Quillory 附加组件能启动本程序，并说明附加组件文件在哪里",
     "清单写到 ~/.mozilla/native-messaging-hosts/，指向本程序的绝对路径。\n"
     "退出状态：成功是 0；失败是 1。\n"},
    {"uninstall-thunderbird", "quillory-ext uninstall-thunderbird",
     "删除 Thunderbird 的本机消息清单",
     "退出状态：成功是 0；失败是 1。\n"},
}};

}  // namespace

std::span<const CommandHelp> commandHelps() { return kCommands; }

std::optional<CommandHelp> commandHelp(std::string_view name) {
  for (const auto& help : kCommands)
    if (help.name == name) return help;
  return std::nullopt;
}

std::string versionText() { return std::string("quillory-ext ") + QY_VERSION + "\n"; }

std::string overviewHelp() {
  std::string text = "quillory-ext：在本机翻译收到的邮件，不经过网络。\n\n用法：\n";
  for (const auto& help : kCommands) text += "  " + std::string(help.usage) + "\n";
  text += "  quillory-ext --help | --version\n\n命令：\n";
  size_t width = 0;
  for (const auto& help : kCommands) width = std::max(width, help.name.size());
  for (const auto& help : kCommands)
    text += "  " + std::string(help.name) + std::string(width + 2 - help.name.size(), ' ') +
            std::string(help.summary) + "\n";
  text +=
      "\n每个命令都接受 --help。设置在存储目录的 config.json 里：$QY_HOME，否则 "
      "$XDG_DATA_HOME/Quillory，否则 ~/.local/share/Quillory。\n";
  return text;
}

std::string fullHelp(const CommandHelp& help) {
  return "用法：" + std::string(help.usage) + "\n" + std::string(help.summary) + "\n\n" +
         std::string(help.details);
}

bool asksForHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& arg) { return arg == "--help" || arg == "-h"; });
}

std::string usageErrorText(std::string_view command, std::string_view message) {
  std::string text = "quillory-ext " + std::string(command) + "：" + std::string(message) + "\n";
  if (const std::optional<CommandHelp> help = commandHelp(command))
    text += "用法：" + std::string(help->usage) + "\n";
  return text;
}

int reportUsageError(std::FILE* err, std::string_view command, std::string_view message) {
  std::fputs(usageErrorText(command, message).c_str(), err);
  return kUsageStatus;
}

namespace UsageMessage {

std::string stray(std::string_view argument) {
  // A lone "-" is an argument (standard input), not an option.
  if (argument.size() > 1 && argument.front() == '-')
    return "不认识的选项“" + std::string(argument) + "”";
  return "不接受参数“" + std::string(argument) + "”";
}

std::string missingValue(std::string_view option, std::string_view what) {
  return "选项 " + std::string(option) + " 后面要跟" + std::string(what);
}

std::string badValue(std::string_view option, std::string_view value, std::string_view what) {
  return "选项 " + std::string(option) + " 要的是" + std::string(what) + "，不是“" +
         std::string(value) + "”";
}

}  // namespace UsageMessage

}  // namespace qy
