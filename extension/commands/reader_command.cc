// The reader command of quillory-ext.
#include "extension/commands/reader_command.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "core/config/log.h"
#include "core/config/paths.h"
#include "extension/commands/command_help.h"
#include "extension/service/native_host.h"
#include "extension/service/native_host_backends.h"
#include "extension/bridge/platform_setup.h"
#include "hosts/reader/reader.h"
#include "platform/termination.h"
#include "protocol/host_client.h"
#include "protocol/host_frame.h"
#include "protocol/names.h"

namespace qy {
namespace {

using nlohmann::json;

// The extension in this process, as the reader's host when no service runs: requests answered by
// the same operations the service runs, reload events handed to `onReload`.
reader::HostCall localHost(std::function<void()> onReload) {
  std::shared_ptr<HostBackend> backend = makeLocalBackend([onReload](const json& event) {
    if (protocol::field<std::string>(event, "event") == protocol::event::kReloadVisibleMessages)
      onReload();
  });
  backend->handle(json{{"id", nullptr}, {"op", protocol::op::kSubscribe}});
  return [backend](json request) -> std::optional<json> {
    request["id"] = 1;
    json answer = json::parse(backend->handle(request), nullptr, false);
    if (!answer.is_object()) return std::nullopt;
    return answer;
  };
}

}  // namespace

int runReaderCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  std::string usage;
  const auto parsed = reader::readerCommandArguments(args, usage);
  if (!parsed) return reportUsageError(err, "reader", usage);
  const int signals = platform::notifyOnTermination();
  installPlatformServices();
  Paths::ensure();
  return runReader(*parsed, signals, out, err);
}

int runReader(const reader::ReaderArguments& arguments, int signals, std::FILE* out,
              std::FILE* err) {
  reader::ReaderOptions options{*arguments.mail, protocol::serviceSocketPath(Paths::root()),
                                arguments.port, localHost};
  std::string error;
  auto running = reader::Reader::start(options, error);
  if (!running) {
    std::fprintf(err, "quillory-ext reader：%s\n", error.c_str());
    return 1;
  }
  std::fprintf(out, "%s\n", running->url().c_str());
  std::fflush(out);
  if (!running->usesService()) {
    std::fprintf(err, "quillory-ext reader：没有正在运行的 Quillory 服务，在本进程里翻译\n");
  }
  Log::write(std::string("reader serving ") + running->address() +
             (running->usesService() ? " for the running service" : " with its own engine"));
  if (arguments.openBrowser && !running->open("xdg-open")) {
    std::fprintf(err, "quillory-ext reader：无法用 xdg-open 打开读信器，请手动打开上面的链接\n");
  }
  // Until SIGTERM or SIGINT.
  for (;;) {
    pollfd stop{signals, POLLIN, 0};
    const int rc = ::poll(&stop, signals < 0 ? 0 : 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    break;
  }
  running.reset();
  Log::flush();
  // Engine jobs of an engine in this process may still run on their own threads: end their
  // processes, then this one, without running static destructors under them.
  std::fflush(nullptr);
  platform::endChildProcesses();
  std::_Exit(0);
}

}  // namespace qy
