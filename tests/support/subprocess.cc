// Subprocesses for end-to-end tests: fork, exec, and pump the three pipes with poll().
#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace qy::testing {

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         const std::map<std::string, std::string>& env) {
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  ProcessResult result;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int readFds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  char buffer[65536];
  while (readFds[0] >= 0 || readFds[1] >= 0) {
    pollfd fds[3] = {{readFds[0], POLLIN, 0}, {readFds[1], POLLIN, 0}, {inFd, POLLOUT, 0}};
    poll(fds, 3, -1);  // negative descriptors are ignored
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (readFds[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(readFds[i], buffer, sizeof buffer);
      if (n <= 0) {
        close(readFds[i]);
        readFds[i] = -1;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      }
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace qy::testing
