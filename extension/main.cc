// quillory-ext: the mail extension's command line.
//   quillory-ext decode [--wait SECONDS] [--json] [FILE|-]
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "core/engine/engine.h"
#include "extension/decode_command.h"
#include "extension/platform_setup.h"
#include "platform/termination.h"

namespace {

void printUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: quillory-ext decode [--wait SECONDS] [--json] [FILE|-]\n"
               "  Decodes one message (a file, or standard input) into the message to show.\n");
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
    return qy::runDecode(args, qy::Engine::shared(qy::Engine::Lifetime::oneShot), stdin, stdout,
                         stderr);
  }
  std::fprintf(stderr, "quillory-ext: unknown command '%s'\n", args[0].c_str());
  printUsage(stderr);
  return 2;
}
