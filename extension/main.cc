// quillory-ext: the mail extension's command line.
//   quillory-ext decode [--wait SECONDS] [--json] [FILE|-]
//   quillory-ext serve
//   quillory-ext install-service | uninstall-service
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "extension/decode_command.h"
#include "extension/platform_setup.h"
#include "extension/install_service_command.h"
#include "extension/serve_command.h"
#include "extension/service_decode.h"
#include "core/config/paths.h"
#include "platform/host_client.h"
#include "platform/termination.h"

namespace {

void printUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: quillory-ext decode [--wait SECONDS] [--json] [FILE|-]\n"
               "  Decodes one message (a file, or standard input) into the message to show.\n"
               "       quillory-ext serve\n"
               "  Serves mail hosts on the socket ext.sock in the storage root.\n"
               "       quillory-ext install-service | uninstall-service\n"
               "  Runs the service as the systemd user unit quillory-ext.service, or stops that.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    printUsage(args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "decode") {
    // One-shot: also adopt and end engines that left their process group.
    qy::platform::endChildrenOnTermination({.subreaper = true});
    qy::installPlatformServices();
    args.erase(args.begin());
    // A running service decodes for us, with its warm engine and caches.
    auto viaService = [](std::string_view input, std::optional<double> wait) {
      return qy::decodeThroughService(qy::platform::serviceSocketPath(qy::Paths::root()), input,
                                      wait);
    };
    return qy::runDecode(args, qy::Engine::shared(qy::Engine::Lifetime::oneShot), stdin, stdout,
                         stderr, viaService);
  }
  if (args[0] == "serve") {
    args.erase(args.begin());
    return qy::runServe(args, stderr);
  }
  if (args[0] == "install-service" || args[0] == "uninstall-service") {
    bool install = args[0] == "install-service";
    args.erase(args.begin());
    return install ? qy::runInstallService(args, stdout, stderr)
                   : qy::runUninstallService(args, stdout, stderr);
  }
  std::fprintf(stderr, "quillory-ext: unknown command '%s'\n", args[0].c_str());
  printUsage(stderr);
  return 2;
}
