// quillory: the settings application. Serves the settings page on 127.0.0.1, prints its address
// on the first line of standard output and opens it in the browser.
//   quillory [--port N] [--no-browser]     (N = 0, the default: any free port)
// A second start opens the running application's page instead. The program ends on SIGTERM or
// SIGINT, or once its page has been closed for kIdleLimit.
#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "app/desktop.h"
#include "app/service_link.h"
#include "app/settings_model.h"
#include "app/settings_server.h"
#include "app/single_instance.h"
#include "core/config/log.h"
#include "core/config/paths.h"
#include "core/translate/translation_service.h"
#include "platform/system_translation_service.h"
#include "platform/termination.h"
#include "web/launch.h"

namespace {

using namespace qy;

// How long the page may be gone (every tab closed) before the application ends.
constexpr std::chrono::minutes kIdleLimit{10};
// How often that is checked.
constexpr std::chrono::seconds kIdleCheck{15};
// How long a second start waits for the first one to publish its address.
constexpr std::chrono::seconds kAddressWait{10};

constexpr const char* kUsage = "用法：quillory [--port 端口] [--no-browser]\n";

struct Options {
  int port = 0;
  bool browser = true;
};

// Nothing on a usage error (reported on standard error).
std::optional<Options> parseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--no-browser") {
      options.browser = false;
    } else if (arg == "--port" && i + 1 == argc) {
      std::fprintf(stderr, "quillory：--port 后面要跟端口号（0 表示任选一个空闲端口）\n%s", kUsage);
      return std::nullopt;
    } else if (arg == "--port") {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (!end || *end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "quillory：端口号无效：%s\n%s", argv[i], kUsage);
        return std::nullopt;
      }
      options.port = static_cast<int>(port);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "quillory：不认识的参数：%s\n%s", argv[i], kUsage);
      return std::nullopt;
    }
  }
  return options;
}

// The idle limit; QY_SETTINGS_IDLE_SECONDS shortens it for the test of this very rule.
std::chrono::milliseconds idleLimit() {
  const char* text = std::getenv("QY_SETTINGS_IDLE_SECONDS");
  if (text && *text) {
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end && *end == '\0' && seconds > 0 && seconds < 86400)
      return std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
  }
  return kIdleLimit;
}

std::string opener() {
  const char* program = std::getenv("QY_OPENER");
  return program && *program ? program : "xdg-open";
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> options = parseArguments(argc, argv);
  if (!options) return 2;

  // The first SIGTERM, SIGINT or SIGHUP makes `stopRequest` readable and the server winds
  // down (a pending save is written); a second ends the engines and the program at once.
  const int stopRequest = platform::notifyOnTermination();
  signal(SIGPIPE, SIG_IGN);

  app::SingleInstance instance(Paths::root());
  if (!instance.first()) {
    std::optional<std::string> address;
    const auto until = std::chrono::steady_clock::now() + kAddressWait;
    while (!(address = instance.running()) && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!address) {
      std::fputs("quillory：已经有一个 Quillory 在运行，但没找到它的地址。\n", stderr);
      return 1;
    }
    // The running page's key lets this program mint a launch token of its own; the browser
    // gets it through a launch file, never on its command line.
    const std::optional<std::string> key = web::readKey(Paths::root(), "settings");
    const std::optional<std::string> printed =
        key ? web::launchAddress(*address, *key, web::kPrintedLife) : std::nullopt;
    std::printf("%s\n", printed.value_or(*address).c_str());
    std::fflush(stdout);
    if (options->browser && !web::openPage(opener(), Paths::root(), "settings", *address))
      std::fputs("quillory：无法打开浏览器，请手动打开上面的链接。\n", stderr);
    return 0;
  }

  TranslationService::setShared(platform::systemTranslationService());
  app::SettingsModelOptions modelOptions;
  modelOptions.open = [](const std::string& target) {
    // The reader's page is opened like this one, with a token from its key file.
    if (target.starts_with("http://127.0.0.1:")) (void)web::openPage(opener(), Paths::root(), "reader", target);
    else app::openDetached(opener(), target);
  };
  modelOptions.reloadVisibleMessages = [] { (void)app::askServiceToReload(Paths::root()); };
  modelOptions.serviceAnswers = [] { return app::serviceAnswers(Paths::root()); };
  modelOptions.readerURL = [] { return app::serviceReaderURL(Paths::root()); };
  app::SettingsModel model(std::move(modelOptions));

  app::SettingsServer server(model, Paths::root());
  if (!server.start(options->port)) {
    std::fprintf(stderr, "quillory：无法在 127.0.0.1:%d 上监听：%s\n", options->port,
                 std::strerror(errno));
    return 1;
  }
  // The lock file gets the address without any secret; the address printed carries a launch
  // token, and the browser gets one through a launch file (web/launch.h).
  instance.publish(server.address());
  std::printf("%s\n", server.printedAddress().c_str());
  std::fflush(stdout);
  Log::write("settings application started on 127.0.0.1:" + std::to_string(server.port()));
  if (options->browser && !server.open(opener()))
    std::fputs("quillory：无法打开浏览器，请手动打开上面的链接。\n", stderr);

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int wake[2] = {-1, -1};
  if (pipe2(wake, O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
  std::thread signals([&] {
    pollfd fds[2] = {{stopRequest, POLLIN, 0}, {wake[0], POLLIN, 0}};
    for (;;) {
      if (poll(fds, 2, -1) < 0 && errno == EINTR) continue;
      if (fds[0].revents != 0) server.stop();
      return;
    }
  });
  const std::chrono::milliseconds limit = idleLimit();
  const std::chrono::milliseconds check =
      std::min<std::chrono::milliseconds>(kIdleCheck, limit / 2);
  std::thread idle([&] {
    std::unique_lock hold(mutex);
    while (!done.wait_for(hold, check, [&] { return finished; })) {
      if (server.idleFor() >= limit) {
        server.stop();
        return;
      }
    }
  });

  server.run();

  {
    std::lock_guard hold(mutex);
    finished = true;
  }
  done.notify_all();
  idle.join();
  // Wake the signal thread if it is still waiting (the server stopped for another reason).
  if (wake[1] >= 0) (void)!write(wake[1], "x", 1);
  signals.join();
  Log::write("settings application stopped");
  return 0;
}
