// Starting xdg-open and systemctl; see desktop.h.
#include "app/desktop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/app_launcher.h"
#include "platform/child_process.h"

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
  return program && platform::startDetached({*program, target});
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
