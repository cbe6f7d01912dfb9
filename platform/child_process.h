// ProcessChain: one program, or a chain of programs joined by pipes, started together in a
// process group of their own. We write to the first program's standard input and read the last
// one's standard output; standard error goes to /dev/null (or, when asked, to that output too).
// Every descriptor we open is close-on-exec, so no child inherits another child's pipes. Our
// process ignores SIGPIPE (a write to a dead child fails with EPIPE instead of killing us);
// children start with the default disposition and an empty signal mask, and die with our process
// (SIGKILL when it ends, however it ends, kill -9 included), so an engine busy with a batch
// never outlives it.
//
// Ownership: the chain owns its children. Destroying it (or kill()) kills the whole group and
// reaps every stage, so no child outlives it and none is left a zombie. Every live group is also
// listed in a fixed, lock-free table, so that a signal handler can end them all
// (endAllProcessGroups(), see platform/termination.h) when the program is told to stop.
// Threads: one caller at a time (callers serialise; the providers hold a lock per chain), except
// terminate(), which any thread may call at any time.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qy::platform {

using SteadyClock = std::chrono::steady_clock;

// The absolute path of a program: `name` itself when it holds a '/', else the first executable
// file of that name in the colon-separated `searchPath` (the process's PATH when empty).
std::optional<std::string> findProgram(std::string_view name, std::string_view searchPath = {});

class ProcessChain {
 public:
  enum class Status {
    ok,        // everything asked for arrived
    timedOut,  // the deadline passed first
    closed,    // the chain closed its output (or refused input) first: a stage died or quit
    tooLong,   // more output than allowed
  };

  // How the stages start beyond their argv.
  struct StartOptions {
    // The last stage's standard error goes to the chain's output too (an installer whose
    // messages are read); otherwise every stage's goes to /dev/null.
    bool errorsToOutput = false;
    // NAME=value entries added to (or replacing in) our environment for every stage.
    std::vector<std::string> environment;
  };

  // Starts the stages (each an argv with an absolute program path). Nothing, with a readable
  // description in `error`, when a stage cannot be started (the others are then killed).
  static std::unique_ptr<ProcessChain> start(const std::vector<std::vector<std::string>>& stages,
                                             std::string& error);
  static std::unique_ptr<ProcessChain> start(const std::vector<std::vector<std::string>>& stages,
                                             std::string& error, const StartOptions& options);
  ~ProcessChain();
  ProcessChain(const ProcessChain&) = delete;
  ProcessChain& operator=(const ProcessChain&) = delete;

  // Writes `input` while reading output, so a full pipe in either direction never blocks the
  // other, until `count` records ending in `terminator` have arrived; they are appended to
  // `records` without their terminator. Output past the last complete record is kept for the
  // next call.
  Status exchange(std::string_view input, char terminator, size_t count, SteadyClock::time_point deadline,
                  std::vector<std::string>& records, size_t maxBytes);
  // Writes all of `input` and closes it, while reading the output until the chain closes it.
  Status communicate(std::string_view input, SteadyClock::time_point deadline, std::string& output,
                     size_t maxBytes);
  // Waits for every stage to end and gives the last stage's exit code (-1 when it was killed by
  // a signal); kills the chain and gives nothing when the deadline passes first.
  std::optional<int> wait(SteadyClock::time_point deadline);

  // Whether some stage has ended (it is reaped then).
  bool exited();
  // Whether the chain has said something nobody asked for: output past the last complete record,
  // or output already waiting in the pipe (read without blocking), or the end of its output.
  bool hasStrayOutput();
  // The stages' process ids, in order (the first is also the group's id).
  const std::vector<pid_t>& pids() const { return pids_; }
  // Whether the last exchange() read any output at all.
  bool receivedOutput() const { return received_ > 0; }
  // Kills the group and reaps every stage.
  void kill();
  // Kills the group without reaping or touching the pipes; safe from any thread, even while
  // another one is in exchange() (which then sees the chain close). The owner still reaps.
  void terminate();

 private:
  ProcessChain() = default;
  bool reapSome(bool block);
  // Takes the group out of the table and kills it, once: whoever takes it signals it.
  void endGroup();

  std::vector<pid_t> pids_;
  std::vector<int> statuses_;
  std::vector<bool> reaped_;
  pid_t group_ = 0;
  // The table entry holding the group while it may be signalled (ownGroup_ when the table is
  // full). Exchanged for 0 by whoever ends the group, always before the last stage is reaped, so
  // a group id is never signalled after it could have been reused. Set once in start().
  std::atomic<pid_t>* groupSlot_ = &ownGroup_;
  std::atomic<pid_t> ownGroup_{0};
  int tableIndex_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string pending_;
  size_t received_ = 0;
};

// Kills every live process group of every ProcessChain in this process (SIGKILL), and takes them
// out of the table; from then on no chain starts (start() fails). Async-signal-safe: for signal
// handlers and the last moments of a program.
void endAllProcessGroups() noexcept;

}  // namespace qy::platform
