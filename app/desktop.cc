// Starting xdg-open and systemctl; see desktop.h.
#include "app/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/child_process.h"

extern char** environ;

namespace qy::app {
namespace {

// systemctl answers at once; a hung user bus must still not keep the state line at
// "检查中…" for ever.
constexpr std::chrono::seconds kSystemctlLimit{30};
// The state is one word; more than this is not systemctl.
constexpr size_t kSystemctlOutputLimit = 64 * 1024;

}  // namespace

bool openDetached(const std::string& opener, const std::string& target) {
  const std::optional<std::string> program = platform::findProgram(opener);
  if (!program) return false;
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // A session of its own: our SIGTERM or a closed terminal does not reach the browser it starts.
  // Nor do our signal settings: the stop signals we block and the SIGPIPE we ignore would
  // otherwise be inherited through exec.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> argv = {*program, target};
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  pid_t pid = 0;
  const int failed =
      posix_spawn(&pid, program->c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return false;
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

std::string userServiceState(const std::string& systemctl) {
  const std::optional<std::string> program = platform::findProgram(systemctl);
  if (!program) return {};
  std::string error;
  std::unique_ptr<platform::ProcessChain> chain = platform::ProcessChain::start(
      {{*program, "--user", "is-enabled", kServiceUnit}}, error);
  if (!chain) return {};
  std::string output;
  const auto deadline = platform::SteadyClock::now() + kSystemctlLimit;
  if (chain->communicate("", deadline, output, kSystemctlOutputLimit) !=
      platform::ProcessChain::Status::ok)
    return {};
  (void)chain->wait(deadline);
  return output;
}

}  // namespace qy::app
