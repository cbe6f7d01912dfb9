// The add-on's end of a native host's pipes: writes requests in Thunderbird's framing and reads
// what the host sends, joining pieces back into whole messages and checking every frame against
// Thunderbird's 1 MiB limit. Also starts `quillory-ext native-host` as a child with such pipes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qy::testing {

// The 4-byte little-endian length prefix.
std::string frameLength(uint32_t n);

class AddonPipe {
 public:
  AddonPipe(int toHost, int fromHost) : toHost_(toHost), fromHost_(fromHost) {}
  ~AddonPipe();
  AddonPipe(const AddonPipe&) = delete;
  AddonPipe& operator=(const AddonPipe&) = delete;

  void send(const nlohmann::json& request) { sendBody(request.dump()); }
  void sendBody(const std::string& body) { sendRaw(frameLength(static_cast<uint32_t>(body.size())) + body); }
  void sendRaw(const std::string& bytes);
  void closeInput();

  // The next message's JSON text, pieces joined; empty when the host has closed its output.
  std::string message();
  // The next message parsed; null at the end.
  nlohmann::json next();
  // The next message that is not an event; events seen on the way are kept in `events`.
  nlohmann::json nextAnswer();
  std::vector<nlohmann::json> events;

 private:
  std::string frame();

  int toHost_;
  int fromHost_;
};

// `binary` with `args`, its standard input and output connected to the returned pipe, the
// environment extended by `env`. The child is killed and reaped when the object goes away.
class HostProcess {
 public:
  HostProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env);
  ~HostProcess();
  AddonPipe& pipe() { return *pipe_; }
  // Closes the host's input and waits for it to exit; its exit status (-1 when killed).
  int finish();

 private:
  pid_t pid_ = -1;
  std::unique_ptr<AddonPipe> pipe_;
};

}  // namespace qy::testing
