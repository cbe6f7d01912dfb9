// quillory-ext: the mail extension's command line.
//   quillory-ext decode [--wait SECONDS] [--json] [FILE|-]
//   quillory-ext install-thunderbird | uninstall-thunderbird
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "extension/decode_command.h"
#include "extension/platform_setup.h"
#include "extension/thunderbird_install.h"

namespace {

void printUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: quillory-ext decode [--wait SECONDS] [--json] [FILE|-]\n"
               "  Decodes one message (a file, or standard input) into the message to show.\n"
               "usage: quillory-ext install-thunderbird | uninstall-thunderbird\n"
               "  Lets Thunderbird's Quillory add-on start this program, or stops it.\n");
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
    qy::installPlatformServices();
    args.erase(args.begin());
    return qy::runDecode(args, qy::Engine::shared(qy::Engine::Lifetime::oneShot), stdin, stdout,
                         stderr);
  }
  if (args[0] == "install-thunderbird" || args[0] == "uninstall-thunderbird") {
    const bool install = args[0] == "install-thunderbird";
    args.erase(args.begin());
    const auto home = qy::thunderbirdHome();
    if (!home) {
      std::fprintf(stderr, "quillory-ext: 找不到主目录（HOME）\n");
      return 1;
    }
    return install ? qy::runInstallThunderbird(args, *home, qy::currentBinary(), stdout, stderr)
                   : qy::runUninstallThunderbird(args, *home, stdout, stderr);
  }
  std::fprintf(stderr, "quillory-ext: unknown command '%s'\n", args[0].c_str());
  printUsage(stderr);
  return 2;
}
