// A real `quillory-ext serve` for tests: a storage root in a temporary directory with settings
// (Spanish, by default) and the gated command provider (tests/providers/gated_provider.py) as
// its only engine, the service started as a child process, and HostClient connections to it.
// Destroying it stops the service with SIGTERM and waits for it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/host_client.h"
#include "support/temp_dir.h"

namespace qy::testing {

class ServeProcess {
 public:
  // Prepares the root; start() starts the service.
  explicit ServeProcess(const std::string& config = R"({"targetLanguage": "es"})");
  ~ServeProcess();

  // What the service's process is started under.
  struct Limits {
    std::vector<std::pair<int, rlim_t>> resources;  // setrlimit(resource, value), soft and hard
    std::filesystem::path cgroup;                   // a cgroup directory to start in, if any
  };
  // Starts the service and waits until it answers `hello`; false when it exited instead.
  bool start(const Limits& limits = {});
  // SIGTERM, then waits: the exit status (-1 when it did not exit normally).
  int stop();
  // Waits for the service to exit (a signal sent meanwhile): its exit status as stop()'s.
  int wait();
  // Kills the service with SIGKILL (it leaves its socket behind) and reaps it.
  void kill();
  pid_t pid() const { return pid_; }

  const std::filesystem::path& home() const { return home_.path(); }
  std::filesystem::path socket() const { return protocol::serviceSocketPath(home_.path()); }
  // While held, the provider answers nothing.
  void holdTranslations();
  void releaseTranslations();
  // The environment for a process that uses this root and its provider (a `decode`, say).
  std::map<std::string, std::string> environment(const std::string& providerLog) const;
  std::string log() const;
  std::string serviceErrors() const;  // the service's standard error

  std::unique_ptr<protocol::HostClient> connect(protocol::HostClient::EventHandler onEvent = {});
  // How many hosts the service's reload event reaches (asked on a connection of its own); null
  // when the service does not answer.
  nlohmann::json reloadsDelivered();

 private:
  TempDir home_;
  pid_t pid_ = -1;
};

// The gated provider's script.
std::string gatedProviderPath();

}  // namespace qy::testing
