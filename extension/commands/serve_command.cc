// The serve command of quillory-ext.
#include "extension/commands/serve_command.h"

#include <chrono>
#include <cstdlib>

#include "core/config/log.h"
#include "core/config/paths.h"
#include "extension/commands/command_help.h"
#include "extension/bridge/platform_setup.h"
#include "extension/bridge/security_handler.h"
#include "platform/allocator_tuning.h"
#include "platform/mail_kit.h"
#include "platform/termination.h"
#include "protocol/host_client.h"
#include "protocol/names.h"

namespace qy {
namespace {

// How long requests still running at a stop may take to answer before the process exits.
constexpr std::chrono::milliseconds kStopGrace{3000};

}  // namespace

std::optional<ServeOptions> parseServeArguments(const std::vector<std::string>& args,
                                                std::string* error) {
  if (!args.empty()) {
    *error = UsageMessage::stray(args[0]);
    return std::nullopt;
  }
  return ServeOptions{};
}

int runServe(const std::vector<std::string>& args, std::FILE* err, ServeOptions options) {
  std::string usage;
  auto parsed = parseServeArguments(args, &usage);
  if (!parsed) {
    return reportUsageError(err, "serve", usage);
  }

  // The stop signals (SIGTERM, SIGINT, SIGHUP) make a descriptor readable that the event loop
  // polls; set up before any thread exists. A second signal ends the engines and us at once.
  int signals = platform::notifyOnTermination();
  if (signals < 0) {
    std::fprintf(err, "quillory-ext serve：无法接收停止信号（signalfd）\n");
    return 1;
  }

  platform::keepMessageBuffersMapped();
  installPlatformServices();
  Paths::ensure();
  SecurityHandler& handler = MailExtension::handlerForMessageSecurity();
  SocketServer::StartStatus status;
  std::string error;
  auto server =
      SocketServer::start({Paths::root(), &handler, nullptr, kStopGrace}, status, error);
  if (!server) {
    Log::write("service not started: " + error);
    Log::flush();
    if (status == SocketServer::StartStatus::alreadyRunning) {
      if (options.besideRunningService) return options.besideRunningService(signals);
      std::fprintf(err, "quillory-ext serve：服务已经在运行（%s）\n",
                   protocol::serviceSocketPath(Paths::root()).c_str());
    } else {
      std::fprintf(err, "quillory-ext serve：无法启动服务：%s\n", error.c_str());
    }
    return 1;
  }
  SocketServer* serving = server.get();
  platform::ExtensionManager::setReloader([serving](platform::ExtensionManager::Completion done) {
    serving->broadcast({{"event", protocol::event::kReloadVisibleMessages}});
    if (done) done(std::nullopt);  // no host subscribed is no error: nothing shown is stale
  });
  if (options.onStarted) options.onStarted(*server);
  Log::write("service listening on " + server->socketPath().string());

  // Once told to stop, the server lets running requests answer for the grace before it closes
  // the connections.
  bool drained = server->run(signals);

  platform::ExtensionManager::setReloader(nullptr);
  Log::write(drained ? "service stopped" : "service stopped with requests still running");
  Log::flush();
  server.reset();  // releases the lock file
  // Engine jobs may still run on their own threads: end the engines' processes, then the
  // process, without running static destructors under those threads.
  platform::endChildProcesses();
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace qy
