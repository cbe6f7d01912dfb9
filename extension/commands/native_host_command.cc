// The native-host command of quillory-ext.
#include "extension/commands/native_host_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "core/config/log.h"
#include "core/config/paths.h"
#include "extension/service/native_host.h"
#include "extension/service/native_host_backends.h"
#include "extension/bridge/platform_setup.h"
#include "protocol/host_client.h"
#include "platform/termination.h"

namespace qy {

void runNativeHostCommand() {
  // Thunderbird may stop the host by a signal; engines started for it end with it. Stopped by
  // Thunderbird closing standard input, the host ends them itself below.
  platform::endChildrenOnTermination({.subreaper = true});
  // Standard output carries frames only: nothing else may ever be written to it.
  installPlatformServices();
  Paths::ensure();
  const auto socket = protocol::serviceSocketPath(Paths::root());
  const int status = runNativeHost(STDIN_FILENO, STDOUT_FILENO, [&socket](HostBackend::EventSink sink) {
    if (auto service = connectServiceBackend(socket, sink, makeLocalBackend)) {
      return service;
    }
    return makeLocalBackend(std::move(sink));
  });
  Log::flush();
  // Engine jobs may still run on their own threads; end without running static destructors
  // under them, as the service does, and without leaving their engines behind.
  std::fflush(nullptr);
  platform::endChildProcesses();
  std::_Exit(status);
}

}  // namespace qy
