// Engines end with the program that started them: `quillory-ext decode` stopped by a signal, or
// exiting normally, leaves no engine running, not even one that left its process group.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/termination.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

const std::string kScript = std::string(QY_SOURCE_DIR) + "/tests/providers/scripted_provider.py";

std::string message(const std::string& body) {
  return "From: a@example.com\r\nTo: b@example.com\r\nSubject: Hello\r\n"
         "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body;
}

// Whether a process runs (a zombie nobody reaped yet does not).
bool running(pid_t pid) {
  const std::string stat = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (stat.empty() || close == std::string::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state != 'Z' && state != 'X';
}

// Whether a process that was sent SIGKILL is gone within a generous minute (it dies
// asynchronously, and nobody may be there to reap it at once).
bool ends(pid_t pid) {
  const auto limit = std::chrono::steady_clock::now() + 60s;
  while (running(pid) && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(5ms);
  return !running(pid);
}

// A storage root whose only translator is the scripted provider, which logs its processes.
struct DecodeHome {
  TempDir home;
  std::filesystem::path pidLog = home / "pids.log";
  std::filesystem::path input = home / "message.eml";

  explicit DecodeHome(const std::string& body) {
    testing::writeFile(home / "config.json", R"({"targetLanguage": "es"})");
    testing::writeFile(home / "translators.json",
                       R"({"apertium": false, "commands": [{"command": ["/usr/bin/python3", ")" +
                           kScript + R"("], "pairs": [["*", "es"]]}]})");
    chmod((home / "translators.json").c_str(), 0600);
    testing::writeFile(input, message(body));
  }
  // Whatever a failing test left behind must not linger for the hour the script sleeps.
  ~DecodeHome() {
    for (const pid_t pid : pids()) kill(pid, SIGKILL);
  }
  std::map<std::string, std::string> env() const {
    return {{"QY_HOME", home.path().string()}, {"QY_TEST_PID_LOG", pidLog.string()}};
  }
  std::vector<pid_t> pids(const std::string& kind = {}) const {
    std::vector<pid_t> out;
    if (!std::filesystem::exists(pidLog)) return out;
    const std::string text = testing::readFile(pidLog);
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = text.substr(start, end - start);
      const size_t space = line.find(' ');
      if (space == std::string::npos) continue;
      if (kind.empty() || line.substr(0, space) == kind) out.push_back(std::stoi(line.substr(space + 1)));
    }
    return out;
  }
};

// Starts `quillory-ext decode FILE` without waiting for it.
pid_t startDecode(const DecodeHome& home) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (const auto& [name, value] : home.env()) setenv(name.c_str(), value.c_str(), 1);
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    execl(QY_EXT_BINARY, QY_EXT_BINARY, "decode", home.input.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

TEST(Termination, ASignalToDecodeEndsEveryEngineEvenOneThatLeftItsGroup) {
  const int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
  for (const int signal : kSignals) {
    SCOPED_TRACE(strsignal(signal));
    // The engine starts a process in a session of its own, then never answers.
    DecodeHome home("Good morning to all of you.\n\nESCAPE\n\nHANG\n");
    const pid_t decode = startDecode(home);
    ASSERT_GT(decode, 0);
    int status = 0;
    bool ended = false;
    while (home.pids("escaped").empty() || home.pids("engine").empty()) {
      if (waitpid(decode, &status, WNOHANG) == decode) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_FALSE(ended) << "decode ended before its engine hung, status " << status;

    kill(decode, signal);
    ASSERT_EQ(waitpid(decode, &status, 0), decode);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    for (const pid_t pid : home.pids()) EXPECT_FALSE(running(pid)) << pid;
    // Ending our own engines is no failure of theirs: the next message must not be refused
    // with "engine exited unexpectedly".
    EXPECT_FALSE(std::filesystem::exists(home.home / "failures.json"))
        << testing::readFile(home.home / "failures.json");
  }
}

// A mail filter waits for the filter to exit: decode ends as soon as its output is written.
// Its unfinished job is abandoned (nothing cached, nothing recorded) and its engine ended.
TEST(Termination, DecodeExitsOnceItsOutputIsWrittenAndEndsItsEngine) {
  DecodeHome home("Good morning to all of you.\n\nHANG\n");
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  const pid_t decode = fork();
  if (decode == 0) {
    for (const auto& [name, value] : home.env()) setenv(name.c_str(), value.c_str(), 1);
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(out[1], 1);
    dup2(devNull, 2);
    execl(QY_EXT_BINARY, QY_EXT_BINARY, "decode", "--wait", "0", home.input.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  EXPECT_EQ(output, testing::readFile(home.input));
  // The engine never answers, so only decode's own ending can end it. A job used to be given
  // 30 s after the output; the process must be gone well before that.
  const auto limit = std::chrono::steady_clock::now() + 20s;
  int status = 0;
  pid_t waited = 0;
  while ((waited = waitpid(decode, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(5ms);
  if (waited == 0) {
    kill(decode, SIGKILL);
    waitpid(decode, &status, 0);
    FAIL() << "decode lived on after its output was written";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  for (const pid_t pid : home.pids()) EXPECT_TRUE(ends(pid)) << pid;
  EXPECT_FALSE(std::filesystem::exists(home.home / "failures.json"));
  size_t cached = 0;
  if (std::filesystem::exists(home.home / "cache")) {
    for (const auto& entry : std::filesystem::directory_iterator(home.home / "cache"))
      cached += entry.path().extension() == ".json";
  }
  EXPECT_EQ(cached, 0u);
}

TEST(Termination, DecodeLeavesNoEngineBehindWhenItExits) {
  DecodeHome home("Good morning to all of you.\n\nESCAPE\n");
  const auto result =
      testing::runProcess({QY_EXT_BINARY, "decode", home.input.string()}, "", home.env());
  EXPECT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(home.pids("escaped").size(), 1u);
  for (const pid_t pid : home.pids()) EXPECT_FALSE(running(pid)) << pid;
}

// A server's first stop signal only becomes readable; its engines keep running until it ends
// them. A second signal ends the engines and the program at once. Run in a child process, which
// keeps the handlers and the signals away from the test binary.
TEST(Termination, AServerHearsTheFirstSignalAndDiesOfTheSecond) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t server = fork();
  if (server == 0) {
    close(report[0]);
    const int stop = platform::notifyOnTermination();
    std::string error;
    auto engine = platform::ProcessChain::start({{"/bin/sleep", "600"}}, error);
    if (stop < 0 || !engine) _exit(10);
    const pid_t enginePid = engine->pids().front();
    if (write(report[1], &enginePid, sizeof enginePid) != sizeof enginePid) _exit(11);
    raise(SIGTERM);
    unsigned char heard = 0;
    if (read(stop, &heard, 1) != 1 || heard != SIGTERM) _exit(12);
    if (kill(enginePid, 0) != 0) _exit(13);  // still running
    raise(SIGTERM);
    _exit(14);  // not reached: the second signal ends the program
  }
  close(report[1]);
  pid_t enginePid = -1;
  const bool reported = read(report[0], &enginePid, sizeof enginePid) == sizeof enginePid;
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(server, &status, 0), server);
  ASSERT_TRUE(reported) << "exit status " << WEXITSTATUS(status);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)
      << (WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status)) : "signalled");
  EXPECT_TRUE(ends(enginePid));
}

}  // namespace
}  // namespace qy
