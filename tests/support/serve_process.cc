// Starting and stopping a real service for tests.
#include "support/serve_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace qy::testing {
namespace {

// How long a service on a busy machine may take to start listening.
constexpr auto kStartLimit = std::chrono::seconds(60);

}  // namespace

std::string gatedProviderPath() {
  return std::string(QY_SOURCE_DIR) + "/tests/providers/gated_provider.py";
}

ServeProcess::ServeProcess(const std::string& config) {
  ::chmod(home_.path().c_str(), 0700);
  writeFile(home_ / "config.json", config);
  writeFile(home_ / "translators.json",
            R"({"apertium": false, "commands": [{"command": [")" + gatedProviderPath() +
                R"("], "pairs": [["*", "es"], ["*", "fr"]]}]})");
  ::chmod((home_ / "translators.json").c_str(), 0600);
  ::chmod((home_ / "config.json").c_str(), 0600);
}

ServeProcess::~ServeProcess() {
  releaseTranslations();
  if (pid_ > 0) stop();
}

std::map<std::string, std::string> ServeProcess::environment(const std::string& providerLog) const {
  return {{"QY_HOME", home().string()},
          {"QY_TEST_GATE", (home() / "gate").string()},
          {"QY_TEST_PROVIDER_LOG", providerLog}};
}

bool ServeProcess::start(const Limits& limits) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  for (const auto& [name, value] : environment((home() / "service-provider.log").string())) {
    env.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string binary = QY_EXT_BINARY;
  std::string serve = "serve";
  char* argv[] = {binary.data(), serve.data(), nullptr};
  std::string errors = (home() / "serve.err").string();
  const std::string cgroupProcs =
      limits.cgroup.empty() ? "" : (limits.cgroup / "cgroup.procs").string();

  pid_ = ::fork();
  if (pid_ == 0) {
    int null = ::open("/dev/null", O_RDWR);
    int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(err, 2);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto& [resource, value] : limits.resources) {
      rlimit limit{value, value};
      if (::setrlimit(resource, &limit) != 0) ::_exit(126);
    }
    if (!cgroupProcs.empty()) {
      // Our pid in decimal, without the allocating formatters a forked child should avoid.
      char digits[24];
      size_t at = sizeof digits;
      for (pid_t pid = ::getpid(); pid > 0; pid /= 10) digits[--at] = static_cast<char>('0' + pid % 10);
      int procs = ::open(cgroupProcs.c_str(), O_WRONLY);
      if (procs < 0 || ::write(procs, digits + at, sizeof digits - at) < 0) ::_exit(126);
      ::close(procs);
    }
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (protocol::HostClient::connect(socket(), std::chrono::seconds(5))) return true;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int ServeProcess::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ServeProcess::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ServeProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void ServeProcess::holdTranslations() { writeFile(home() / "gate", "held"); }

void ServeProcess::releaseTranslations() {
  std::error_code ignored;
  std::filesystem::remove(home() / "gate", ignored);
}

std::string ServeProcess::log() const {
  std::error_code error;
  return std::filesystem::exists(home() / "qy.log", error) ? readFile(home() / "qy.log") : "";
}

std::string ServeProcess::serviceErrors() const {
  std::error_code error;
  return std::filesystem::exists(home() / "serve.err", error) ? readFile(home() / "serve.err")
                                                               : "";
}

std::unique_ptr<protocol::HostClient> ServeProcess::connect(
    protocol::HostClient::EventHandler onEvent) {
  return protocol::HostClient::connect(socket(), std::chrono::seconds(30), std::move(onEvent));
}

nlohmann::json ServeProcess::reloadsDelivered() {
  auto app = connect();
  if (!app) return nullptr;
  auto answer = app->request({{"op", "reloadVisibleMessages"}});
  return answer ? (*answer)["delivered"] : nlohmann::json(nullptr);
}

}  // namespace qy::testing
