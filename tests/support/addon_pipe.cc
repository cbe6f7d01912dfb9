// The add-on's end of a native host's pipes, and a native host as a child process.
#include "support/addon_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace qy::testing {
namespace {

bool readExactly(int fd, std::string& out, size_t n) {
  out.resize(n);
  size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd, out.data() + done, n - done);
    if (got <= 0) {
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

std::string frameLength(uint32_t n) {
  return {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
          static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
}

AddonPipe::~AddonPipe() {
  closeInput();
  ::close(fromHost_);
}

void AddonPipe::sendRaw(const std::string& bytes) {
  std::string_view rest(bytes);
  while (!rest.empty()) {
    const ssize_t n = ::write(toHost_, rest.data(), rest.size());
    ASSERT_GT(n, 0);
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

void AddonPipe::closeInput() {
  if (toHost_ >= 0) {
    ::close(toHost_);
    toHost_ = -1;
  }
}

std::string AddonPipe::frame() {
  std::string head, body;
  if (!readExactly(fromHost_, head, 4)) {
    return "";
  }
  uint32_t n = 0;
  for (int i = 3; i >= 0; --i) {
    n = (n << 8) | static_cast<unsigned char>(head[static_cast<size_t>(i)]);
  }
  EXPECT_LE(n, uint32_t{1} << 20) << "Thunderbird refuses frames over 1 MiB";
  EXPECT_TRUE(readExactly(fromHost_, body, n));
  return body;
}

std::string AddonPipe::message() {
  std::string body = frame();
  if (body.empty()) {
    return body;
  }
  const nlohmann::json first = nlohmann::json::parse(body);
  if (!first.contains("pieces")) {
    return body;
  }
  // The host writes the pieces of one answer one after the other.
  std::string joined = first["text"];
  for (int i = 1; i < first["pieces"].get<int>(); ++i) {
    const nlohmann::json piece = nlohmann::json::parse(frame());
    EXPECT_EQ(piece["seq"], first["seq"]);
    EXPECT_EQ(piece["piece"], i);
    joined += piece["text"].get<std::string>();
  }
  return joined;
}

nlohmann::json AddonPipe::next() {
  const std::string text = message();
  return text.empty() ? nlohmann::json() : nlohmann::json::parse(text);
}

nlohmann::json AddonPipe::nextAnswer() {
  for (;;) {
    nlohmann::json message = next();
    if (!message.is_object() || !message.contains("event")) {
      return message;
    }
    events.push_back(std::move(message));
  }
}

HostProcess::HostProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env) {
  // Everything the child needs is built before fork(): the test process has threads.
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    if (!env.contains(entry.substr(0, entry.find('=')))) {
      entries.push_back(entry);
    }
  }
  for (const auto& [name, value] : env) {
    entries.push_back(name + "=" + value);
  }
  std::vector<char*> envp;
  for (auto& entry : entries) {
    envp.push_back(entry.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> argvCopy = argv;
  std::vector<char*> args;
  for (auto& a : argvCopy) {
    args.push_back(a.data());
  }
  args.push_back(nullptr);
  int in[2], out[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  pipe_ = std::make_unique<AddonPipe>(in[1], out[0]);
}

HostProcess::~HostProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

int HostProcess::finish() {
  pipe_->closeInput();
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace qy::testing
