// Signal handlers and the exit hook that end a program's child processes. Everything reachable
// from a handler is async-signal-safe: atomics, and raw system calls on stack buffers.
#include "platform/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/base/process_ending.h"
#include "platform/child_process.h"

namespace qy::platform {
namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Orphans are killed and reaped in rounds, each waiting up to a millisecond for the killed to
// die; 2,000 rounds bound the sweep to about two seconds. SIGKILL cannot be refused, so only a
// process stuck in the kernel lasts that long, and the program must end all the same.
constexpr int kMaxSweepRounds = 2000;
constexpr long kRoundPauseNanoseconds = 1'000'000;
constexpr size_t kMaxChildrenPerRound = 512;

std::atomic<bool> isSubreaper{false};
std::atomic<int> notifyFd{-1};
std::atomic<bool> notified{false};

// Appends the decimal pids in the file at `path` to out[n…room).
size_t readPids(const char* path, pid_t* out, size_t n, size_t room) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return n;
  char buffer[4096];
  pid_t value = 0;
  bool inNumber = false;
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      const char c = buffer[i];
      if (c >= '0' && c <= '9') {
        value = value * 10 + (c - '0');
        inNumber = true;
      } else {
        if (inNumber && n < room) out[n++] = value;
        value = 0;
        inNumber = false;
      }
    }
  }
  if (inNumber && n < room) out[n++] = value;
  close(fd);
  return n;
}

// Our children, running or not yet reaped, from /proc/self/task/<tid>/children of every thread
// (an orphan is adopted by one of the subreaper's threads, any of them). Nothing when /proc is
// not there.
size_t listChildren(pid_t* out, size_t room) {
  const int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  size_t n = 0;
  alignas(8) char entries[4096];
  while (true) {
    const long got = syscall(SYS_getdents64, dir, entries, sizeof entries);
    if (got <= 0) break;
    // Each record: inode (8 bytes), offset (8), record length (2), type (1), NUL-ended name.
    for (long at = 0; at < got;) {
      unsigned short length = 0;
      std::memcpy(&length, entries + at + 16, sizeof length);
      const char* name = entries + at + 19;
      if (name[0] >= '0' && name[0] <= '9') {
        char path[96] = "/proc/self/task/";
        size_t end = std::strlen(path);
        for (size_t i = 0; name[i] != '\0' && end < 64; ++i) path[end++] = name[i];
        const char suffix[] = "/children";
        std::memcpy(path + end, suffix, sizeof suffix);
        n = readPids(path, out, n, room);
      }
      if (length == 0) break;
      at += length;
    }
  }
  close(dir);
  return n;
}

// Kills and reaps every child until none is left: orphans adopted while their parents die are
// found in the next round.
void sweepChildren() {
  pid_t children[kMaxChildrenPerRound];
  for (int round = 0; round < kMaxSweepRounds; ++round) {
    const size_t count = listChildren(children, kMaxChildrenPerRound);
    if (count == 0) return;
    for (size_t i = 0; i < count; ++i) kill(children[i], SIGKILL);
    bool reaped = false;
    while (waitpid(-1, nullptr, WNOHANG) > 0) reaped = true;
    if (!reaped) {
      const timespec pause{0, kRoundPauseNanoseconds};
      nanosleep(&pause, nullptr);
    }
  }
}

void onTermination(int signal) {
  const int savedErrno = errno;
  const int fd = notifyFd.load();
  if (fd >= 0 && !notified.exchange(true)) {
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
    errno = savedErrno;
    return;
  }
  endChildProcesses();
  // Die of the signal, as without us: it is pending while this handler runs and acts on return.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  sigaction(signal, &defaults, nullptr);
  raise(signal);
  errno = savedErrno;
}

void install(TerminationOptions options) {
  if (options.subreaper && prctl(PR_SET_CHILD_SUBREAPER, 1L, 0L, 0L, 0L) == 0) isSubreaper = true;
  struct sigaction action {};
  action.sa_handler = onTermination;
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = SA_RESTART;
  for (const int signal : kSignals) {
    // A signal ignored by whoever started us (nohup, a background job) stays ignored.
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_IGN)
      continue;
    sigaction(signal, &action, nullptr);
  }
  static std::once_flag atExit;
  std::call_once(atExit, [] { std::atexit([] { endChildProcesses(); }); });
}

}  // namespace

void endChildProcesses() noexcept {
  // First, so that a job that sees its engine die from here on records no failure.
  ProcessEnding::mark();
  endAllProcessGroups();
  if (isSubreaper.load()) sweepChildren();
}

void endChildrenOnTermination(TerminationOptions options) { install(options); }

int notifyOnTermination(TerminationOptions options) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    install(options);
    return -1;
  }
  notifyFd = fds[1];
  install(options);
  return fds[0];
}

}  // namespace qy::platform
