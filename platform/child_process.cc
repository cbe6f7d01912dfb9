// Starting, talking to, killing and reaping child processes (fork and exec on one long-lived
// thread, poll, waitpid).
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

extern char** environ;

namespace qy::platform {
namespace {

constexpr size_t kChunk = 64 * 1024;

// The live process groups, for endAllProcessGroups(). A program runs a few engines (one per
// language pair and command provider); a chain started when the table is full still works, it is
// only out of reach of the signal handlers.
constexpr size_t kMaxLiveGroups = 256;
std::atomic<bool> tableTaken[kMaxLiveGroups];
std::atomic<pid_t> tableGroups[kMaxLiveGroups];
static_assert(std::atomic<pid_t>::is_always_lock_free, "the table is read in signal handlers");
// Set for good by endAllProcessGroups(): the program is ending and starts no new process. A
// start that races with it either has its group in the table when it is emptied, or sees this.
std::atomic<bool> endingAll{false};

int takeTableEntry() {
  for (size_t i = 0; i < kMaxLiveGroups; ++i) {
    bool expected = false;
    if (tableTaken[i].compare_exchange_strong(expected, true)) return static_cast<int>(i);
  }
  return -1;
}

// A write to a pipe whose reader died must fail with EPIPE, not kill the extension. Installed
// once, and only over the default disposition (a host's own handler is left alone).
void ignoreSigpipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      sigaction(SIGPIPE, &ignore, nullptr);
    }
  });
}

// Moves a descriptor to 3 or above, so that dup2 onto 0, 1 or 2 in a child is never a no-op
// that would leave it close-on-exec (our own 0-2 may be closed).
int aboveStandard(int fd) {
  if (fd < 0 || fd >= 3) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

bool makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  fds[0] = aboveStandard(fds[0]);
  fds[1] = aboveStandard(fds[1]);
  if (fds[0] >= 0 && fds[1] >= 0) return true;
  if (fds[0] >= 0) close(fds[0]);
  if (fds[1] >= 0) close(fds[1]);
  return false;
}

void closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int pollTimeout(SteadyClock::time_point deadline) {
  const auto left = deadline - SteadyClock::now();
  if (left <= SteadyClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

bool isExecutableFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// One stage to start: its program, arguments and environment (prepared before the fork: the
// child of a threaded process may only make system calls), its standard streams and its group.
struct StageLaunch {
  const char* program;
  char* const* argv;
  char* const* envp;
  int input, output, errors;  // each 3 or above, close-on-exec
  pid_t group;                // 0: the stage starts a group of its own
};

// Forks and execs `stage`; its pid, or -1 with `error` (an errno value). With `dieWithUs` the
// child gets SIGKILL when the thread that forked it ends (PR_SET_PDEATHSIG): our process dying,
// even by SIGKILL, then ends the engine at once instead of when its current batch ends.
pid_t launch(const StageLaunch& stage, bool dieWithUs, int& error) {
  int report[2];  // the child's exec error; closed by a successful exec
  if (pipe2(report, O_CLOEXEC) != 0) {
    error = errno;
    return -1;
  }
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    setpgid(0, stage.group);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    sigemptyset(&defaults.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
      if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dieWithUs) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);  // we died before the request took hold
    }
    if (dup2(stage.input, 0) < 0 || dup2(stage.output, 1) < 0 || dup2(stage.errors, 2) < 0) {
      const int e = errno;
      [[maybe_unused]] ssize_t n = write(report[1], &e, sizeof e);
      _exit(127);
    }
    execve(stage.program, stage.argv, stage.envp);
    const int e = errno;
    [[maybe_unused]] ssize_t n = write(report[1], &e, sizeof e);
    _exit(127);
  }
  close(report[1]);
  if (pid < 0) {
    error = errno;
    close(report[0]);
    return -1;
  }
  setpgid(pid, stage.group == 0 ? pid : stage.group);  // also here: no moment outside the group
  int childError = 0;
  ssize_t n;
  do {
    n = read(report[0], &childError, sizeof childError);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof childError)) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    error = childError;
    return -1;
  }
  return pid;
}

// The thread that starts every engine. A child asked to die with its parent dies when the
// *thread* that forked it ends, and the threads that ask for engines come and go (request
// workers, one-shot jobs); this one lives as long as the process. When it cannot be started (a
// task limit), stages start on the caller's thread without the request.
class Launcher {
 public:
  static Launcher& instance() {
    static Launcher* launcher = new Launcher;  // never destroyed: its thread runs to the end
    return *launcher;
  }

  pid_t run(const StageLaunch& stage, int& error) {
    std::unique_lock guard(lock_);
    if (!started_) return launch(stage, false, error);
    ready_.wait(guard, [&] { return job_ == nullptr; });
    pid_t pid = -1;
    bool done = false;
    std::function<void()> job = [&] { pid = launch(stage, true, error); };
    job_ = &job;
    jobDone_ = &done;
    ready_.notify_all();
    ready_.wait(guard, [&] { return done; });
    return pid;
  }

 private:
  Launcher() {
    try {
      thread_ = std::thread([this] { loop(); });
      started_ = true;
    } catch (const std::system_error&) {
      started_ = false;
    }
  }

  void loop() {
    std::unique_lock guard(lock_);
    for (;;) {
      ready_.wait(guard, [&] { return job_ != nullptr && !*jobDone_; });
      (*job_)();
      *jobDone_ = true;
      job_ = nullptr;
      ready_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable ready_;
  std::function<void()>* job_ = nullptr;  // the job waiting, with its caller's flag
  bool* jobDone_ = nullptr;
  bool started_ = false;
  std::thread thread_;
};

}  // namespace

std::optional<std::string> findProgram(std::string_view name, std::string_view searchPath) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    std::string path(name);
    return isExecutableFile(path) ? std::optional(path) : std::nullopt;
  }
  std::string_view dirs = searchPath;
  if (dirs.empty()) {
    const char* env = std::getenv("PATH");
    dirs = env ? env : "/usr/local/bin:/usr/bin:/bin";
  }
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string_view::npos) end = dirs.size();
    const std::string_view dir = dirs.substr(start, end - start);
    if (!dir.empty()) {
      std::string path(dir);
      path += '/';
      path += name;
      if (isExecutableFile(path)) return path;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::unique_ptr<ProcessChain> ProcessChain::start(
    const std::vector<std::vector<std::string>>& stages, std::string& error) {
  return start(stages, error, StartOptions{});
}

std::unique_ptr<ProcessChain> ProcessChain::start(
    const std::vector<std::vector<std::string>>& stages, std::string& error,
    const StartOptions& options) {
  ignoreSigpipe();
  // The environment is built before any fork: the child of a threaded process may not allocate.
  std::vector<std::string> environment;
  std::vector<char*> envp;
  if (!options.environment.empty()) {
    auto nameOf = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
    for (char** entry = environ; *entry; ++entry) {
      const std::string_view name = nameOf(*entry);
      const bool replaced =
          std::any_of(options.environment.begin(), options.environment.end(),
                      [&](const std::string& mine) { return nameOf(mine) == name; });
      if (!replaced) environment.emplace_back(*entry);
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
  }
  char* const* stageEnvironment = envp.empty() ? environ : envp.data();
  std::unique_ptr<ProcessChain> chain(new ProcessChain);
  if (stages.empty()) {
    error = "没有要启动的程序";
    return nullptr;
  }
  if (endingAll.load()) {
    error = "程序正在退出";
    return nullptr;
  }
  int devNull = aboveStandard(open("/dev/null", O_WRONLY | O_CLOEXEC));
  int first[2];
  if (devNull < 0 || !makePipe(first)) {
    error = std::string("无法创建管道：") + std::strerror(errno);
    closeFd(devNull);
    return nullptr;
  }
  chain->input_ = first[1];
  int nextInput = first[0];

  for (size_t i = 0; i < stages.size(); ++i) {
    const auto& argvStrings = stages[i];
    int out[2];
    if (argvStrings.empty() || !makePipe(out)) {
      error = argvStrings.empty() ? "程序名为空" : std::string("无法创建管道：") + std::strerror(errno);
      closeFd(nextInput);
      closeFd(devNull);
      return nullptr;  // the destructor kills the stages already started
    }
    std::vector<char*> argv;
    for (const auto& arg : argvStrings) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int rc = 0;
    const bool last = i + 1 == stages.size();
    const int errors = options.errorsToOutput && last ? out[1] : devNull;
    const pid_t pid = Launcher::instance().run(
        {argv[0], argv.data(), stageEnvironment, nextInput, out[1], errors, chain->group_}, rc);
    closeFd(nextInput);
    close(out[1]);
    nextInput = out[0];
    if (pid < 0) {
      error = "无法启动 " + argvStrings[0] + "：" + std::strerror(rc);
      closeFd(nextInput);
      closeFd(devNull);
      return nullptr;
    }
    if (chain->group_ == 0) {
      chain->group_ = pid;
      chain->tableIndex_ = takeTableEntry();
      if (chain->tableIndex_ >= 0) chain->groupSlot_ = &tableGroups[chain->tableIndex_];
      chain->groupSlot_->store(pid);
    }
    chain->pids_.push_back(pid);
    chain->statuses_.push_back(0);
    chain->reaped_.push_back(false);
    if (endingAll.load()) {
      error = "程序正在退出";
      closeFd(nextInput);
      closeFd(devNull);
      return nullptr;  // the destructor kills and reaps what started
    }
  }
  closeFd(devNull);
  chain->output_ = nextInput;
  setNonBlocking(chain->input_);
  setNonBlocking(chain->output_);
  return chain;
}

ProcessChain::~ProcessChain() {
  kill();
  if (tableIndex_ >= 0) tableTaken[tableIndex_].store(false);
}

ProcessChain::Status ProcessChain::exchange(std::string_view input, char terminator, size_t count,
                                            SteadyClock::time_point deadline,
                                            std::vector<std::string>& records, size_t maxBytes) {
  size_t got = 0;
  size_t scanned = 0;  // pending_ before this offset holds no terminator
  auto take = [&] {
    while (got < count) {
      const size_t pos = pending_.find(terminator, scanned);
      if (pos == std::string::npos) {
        scanned = pending_.size();
        return;
      }
      records.emplace_back(pending_, 0, pos);
      pending_.erase(0, pos + 1);
      scanned = 0;
      ++got;
    }
  };
  take();
  size_t written = 0;
  size_t& received = received_;
  received = 0;
  bool canWrite = input_ >= 0;
  char buffer[kChunk];
  while (got < count) {
    if (output_ < 0) return Status::closed;
    if (SteadyClock::now() >= deadline) return Status::timedOut;
    pollfd fds[2];
    nfds_t n = 0;
    const bool writing = canWrite && written < input.size();
    if (writing) fds[n++] = {input_, POLLOUT, 0};
    const nfds_t readIndex = n;
    fds[n++] = {output_, POLLIN, 0};
    const int rc = poll(fds, n, pollTimeout(deadline));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return Status::closed;
    }
    if (writing && fds[0].revents != 0) {
      const size_t size = std::min(kChunk, input.size() - written);
      const ssize_t w = write(input_, input.data() + written, size);
      if (w > 0) {
        written += static_cast<size_t>(w);
      } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        canWrite = false;  // the first stage is gone; its output tells the rest
      }
    }
    if (fds[readIndex].revents != 0) {
      const ssize_t r = read(output_, buffer, sizeof buffer);
      if (r == 0) return Status::closed;
      if (r < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return Status::closed;
      }
      received += static_cast<size_t>(r);
      if (received > maxBytes) return Status::tooLong;
      pending_.append(buffer, static_cast<size_t>(r));
      take();
    }
  }
  return Status::ok;
}

ProcessChain::Status ProcessChain::communicate(std::string_view input, SteadyClock::time_point deadline,
                                               std::string& output, size_t maxBytes) {
  output += pending_;
  pending_.clear();
  size_t written = 0;
  char buffer[kChunk];
  while (output_ >= 0) {
    if (input_ >= 0 && written >= input.size()) closeFd(input_);
    if (SteadyClock::now() >= deadline) return Status::timedOut;
    pollfd fds[2];
    nfds_t n = 0;
    if (input_ >= 0) fds[n++] = {input_, POLLOUT, 0};
    const nfds_t readIndex = n;
    fds[n++] = {output_, POLLIN, 0};
    const int rc = poll(fds, n, pollTimeout(deadline));
    if (rc < 0 && errno != EINTR) return Status::closed;
    if (rc <= 0) continue;
    if (input_ >= 0 && fds[0].revents != 0) {
      const ssize_t w = write(input_, input.data() + written, std::min(kChunk, input.size() - written));
      if (w > 0)
        written += static_cast<size_t>(w);
      else if (w < 0 && errno != EAGAIN && errno != EINTR)
        closeFd(input_);  // the reader is gone; what it said so far still counts
    }
    if (fds[readIndex].revents == 0) continue;
    const ssize_t r = read(output_, buffer, sizeof buffer);
    if (r == 0) break;
    if (r < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      break;
    }
    if (output.size() + static_cast<size_t>(r) > maxBytes) return Status::tooLong;
    output.append(buffer, static_cast<size_t>(r));
  }
  return Status::ok;
}

bool ProcessChain::hasStrayOutput() {
  if (!pending_.empty()) return true;
  if (output_ < 0) return true;
  pollfd fd{output_, POLLIN, 0};
  if (poll(&fd, 1, 0) <= 0) return false;
  char buffer[kChunk];
  const ssize_t r = read(output_, buffer, sizeof buffer);
  if (r > 0) {
    pending_.append(buffer, static_cast<size_t>(r));
    return true;
  }
  if (r == 0) return true;  // it closed its output
  return errno != EAGAIN && errno != EINTR;
}

bool ProcessChain::reapSome(bool block) {
  // Everything is reaped below: the group is ended first and never signalled again.
  if (block) endGroup();
  bool any = false;
  for (size_t i = 0; i < pids_.size(); ++i) {
    if (reaped_[i]) {
      any = true;
      continue;
    }
    if (!block) {
      // Look before reaping: the last stage keeps the group id from being reused, so the group
      // (and whatever else still runs in it) is ended while that stage is a zombie.
      siginfo_t info{};
      int rc;
      do {
        rc = waitid(P_PID, static_cast<id_t>(pids_[i]), &info, WEXITED | WNOHANG | WNOWAIT);
      } while (rc < 0 && errno == EINTR);
      if (rc == 0 && info.si_pid == 0) continue;  // still running
      if (std::count(reaped_.begin(), reaped_.end(), false) == 1) endGroup();
    }
    int status = 0;
    pid_t rc;
    do {
      rc = waitpid(pids_[i], &status, block ? 0 : WNOHANG);
    } while (rc < 0 && errno == EINTR);
    if (rc == pids_[i] || (rc < 0 && errno == ECHILD)) {
      reaped_[i] = true;
      statuses_[i] = rc == pids_[i] ? status : 0;
      any = true;
    }
  }
  return any;
}

bool ProcessChain::exited() { return reapSome(false); }

std::optional<int> ProcessChain::wait(SteadyClock::time_point deadline) {
  closeFd(input_);
  pending_.clear();
  char buffer[kChunk];
  // No SIGCHLD handler of ours to wake us: look at the children every few milliseconds, and
  // keep their output flowing meanwhile (a child blocked on a full pipe would never end).
  while (true) {
    reapSome(false);
    if (std::all_of(reaped_.begin(), reaped_.end(), [](bool r) { return r; })) break;
    if (SteadyClock::now() >= deadline) {
      kill();
      return std::nullopt;
    }
    const int timeout = std::min(pollTimeout(deadline), 5);
    if (output_ >= 0) {
      pollfd fd{output_, POLLIN, 0};
      if (poll(&fd, 1, timeout) > 0) {
        const ssize_t r = read(output_, buffer, sizeof buffer);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) closeFd(output_);
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeout));
    }
  }
  if (statuses_.empty()) return std::nullopt;
  const int status = statuses_.back();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ProcessChain::kill() {
  closeFd(input_);
  closeFd(output_);
  const bool anyAlive = std::any_of(reaped_.begin(), reaped_.end(), [](bool r) { return !r; });
  if (!anyAlive) return;
  // The group kill also reaches what a stage started itself.
  endGroup();
  for (size_t i = 0; i < pids_.size(); ++i)
    if (!reaped_[i]) ::kill(pids_[i], SIGKILL);
  reapSome(true);
}

void ProcessChain::terminate() { endGroup(); }

void ProcessChain::endGroup() {
  const pid_t group = groupSlot_->exchange(0);
  if (group > 0) ::kill(-group, SIGKILL);
}

void endAllProcessGroups() noexcept {
  endingAll.store(true);
  for (auto& entry : tableGroups) {
    const pid_t group = entry.exchange(0);
    if (group > 0) ::kill(-group, SIGKILL);
  }
}

}  // namespace qy::platform
