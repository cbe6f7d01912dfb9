// quillory-ext: the mail extension's command line. One subcommand per job (see command_help.cc
// for the list and each one's help); `--help` and `--version` on their own or after a command.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "extension/commands/command_help.h"
#include "extension/commands/decode_command.h"
#include "extension/commands/doctor_command.h"
#include "extension/commands/pairs_command.h"
#include "extension/bridge/platform_setup.h"
#include "extension/commands/reader_command.h"
#include "extension/commands/install_service_command.h"
#include "extension/commands/serve_command.h"
#include "extension/commands/service_decode.h"
#include "hosts/reader/reader.h"
#include "core/config/paths.h"
#include "protocol/host_client.h"
#include "platform/termination.h"
#include "extension/commands/native_host_command.h"
#include "extension/commands/thunderbird_install.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(qy::overviewHelp().c_str(), stderr);
    return 2;
  }
  // Thunderbird starts its native host with the manifest's path and the add-on's id.
  if (qy::isBrowserLaunch(args)) qy::runNativeHostCommand();
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(qy::overviewHelp().c_str(), stdout);
    return 0;
  }
  if (args[0] == "--version") {
    std::fputs(qy::versionText().c_str(), stdout);
    return 0;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (auto help = qy::commandHelp(command); help && qy::asksForHelp(args)) {
    std::fputs(qy::fullHelp(*help).c_str(), stdout);
    return 0;
  }
  if (command == "decode") {
    // One-shot: also adopt and end engines that left their process group.
    qy::platform::endChildrenOnTermination({.subreaper = true});
    qy::installPlatformServices();
    // A running service decodes for us, with its warm engine and caches.
    auto viaService = [](std::string_view input, std::optional<double> wait) {
      return qy::decodeThroughService(qy::protocol::serviceSocketPath(qy::Paths::root()), input,
                                      wait);
    };
    return qy::runDecode(args, qy::Engine::shared(qy::Engine::Lifetime::oneShot), stdin, stdout,
                         stderr, viaService);
  }
  if (command == "native-host") {
    if (!args.empty())
      return qy::reportUsageError(stderr, command, qy::UsageMessage::stray(args[0]));
    qy::runNativeHostCommand();
  }
  if (command == "serve") {
    // The web mail reader is a host of the service it runs in: --reader PATH [--port N] [--no-browser].
    std::string error;
    const auto reader = qy::reader::takeReaderArguments(args, error);
    if (!reader) return qy::reportUsageError(stderr, command, error);
    qy::ServeOptions options;
    if (reader->mail) {
      if (!qy::reader::MailSource::open(*reader->mail)) {
        std::fprintf(stderr, "quillory-ext serve: 无法读取邮件：%s\n", reader->mail->c_str());
        return 1;
      }
      options.onStarted = [reader = *reader](qy::SocketServer& server) {
        static std::unique_ptr<qy::reader::Reader> running;  // until the process ends
        running = qy::reader::startForService(reader, server.socketPath(), stdout, stderr);
        if (!running) std::_Exit(1);
        server.setReaderURL(running->address());  // hello names the page; no secret goes with it
      };
      // A service already runs (the user unit, say): the reader goes beside it.
      options.besideRunningService = [reader = *reader](int signals) {
        std::fprintf(stderr, "quillory-ext serve：服务已经在运行，读信器用它翻译\n");
        return qy::runReader(reader, signals, stdout, stderr);
      };
    }
    return qy::runServe(args, stderr, std::move(options));
  }
  if (command == "reader") return qy::runReaderCommand(args, stdout, stderr);
  if (command == "install-service") return qy::runInstallService(args, stdout, stderr);
  if (command == "uninstall-service") return qy::runUninstallService(args, stdout, stderr);
  if (command == "install-thunderbird" || command == "uninstall-thunderbird") {
    const auto home = qy::thunderbirdHome();
    if (!home) {
      std::fprintf(stderr, "quillory-ext：找不到主目录（HOME）\n");
      return 1;
    }
    return command == "install-thunderbird"
               ? qy::runInstallThunderbird(args, *home, qy::currentBinary(), stdout, stderr)
               : qy::runUninstallThunderbird(args, *home, stdout, stderr);
  }
  if (command == "doctor") return qy::runDoctor(args, {}, stdout, stderr);
  if (command == "pairs") return qy::runPairs(args, {}, stdout, stderr);
  std::fprintf(stderr, "quillory-ext：没有“%s”这个命令\n\n", command.c_str());
  std::fputs(qy::overviewHelp().c_str(), stderr);
  return 2;
}
