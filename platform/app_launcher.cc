// Finding and starting the settings application, detached from this process.
#include "platform/app_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/child_process.h"

namespace qy::platform {
namespace {

std::filesystem::path ownDirectory() {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : self.parent_path();
}

}  // namespace

std::optional<std::string> findSettingsApp(const std::filesystem::path& besideDirectory,
                                           std::string_view searchPath) {
  if (!besideDirectory.empty()) {
    if (auto beside = findProgram((besideDirectory / kSettingsAppName).string())) return beside;
  }
  return findProgram(kSettingsAppName, searchPath);
}

bool startDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int report[2];  // the grandchild writes errno here when exec fails; closed by a good exec
  if (::pipe2(report, O_CLOEXEC) != 0) return false;

  pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here on: the parent may have other threads.
    ::close(report[0]);
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
      ::sigaction(signal, &fallback, nullptr);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    ::execv(args[0], args.data());
    int error = errno;
    [[maybe_unused]] ssize_t n = ::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  do {
    n = ::read(report[0], &error, sizeof error);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

bool startSettingsApp() {
  auto app = findSettingsApp(ownDirectory());
  if (!app) return false;
  // Under a systemd user service every process we start stays in the service's control group
  // and ends with it; a transient unit of its own keeps the settings window open when the
  // service restarts.
  if (std::getenv("INVOCATION_ID")) {
    if (auto run = findProgram("systemd-run")) {
      return startDetached({*run, "--user", "--quiet", "--collect", "--", *app});
    }
  }
  return startDetached({*app});
}

}  // namespace qy::platform
