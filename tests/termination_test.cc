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
  }
}

TEST(Termination, DecodeLeavesNoEngineBehindWhenItExits) {
  DecodeHome home("Good morning to all of you.\n\nESCAPE\n");
  const auto result =
      testing::runProcess({QY_EXT_BINARY, "decode", home.input.string()}, "", home.env());
  EXPECT_EQ(result.status, 0) << result.err;
  ASSERT_EQ(home.pids("escaped").size(), 1u);
  for (const pid_t pid : home.pids()) EXPECT_FALSE(running(pid)) << pid;
}

}  // namespace
}  // namespace qy
