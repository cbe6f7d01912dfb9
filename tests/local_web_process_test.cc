// The two local web servers as real processes: `quillory` and `quillory-ext serve --reader`
// opening their page through a scripted opener, and a flood of header lines sent to one.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "web/launch.h"

namespace qy {
namespace {

namespace fs = std::filesystem;
using qy::testing::TempDir;

// A program started with extra environment and its standard output on a pipe; SIGTERM and
// reaped when it goes.
class Program {
 public:
  Program(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }
  // The first line of standard output (what both programs print: their page's address);
  // empty when none comes within a minute (a failure, not a timing bound).
  std::string firstLine() {
    std::string line;
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until) {
      pollfd entry{out_, POLLIN, 0};
      if (::poll(&entry, 1, 1000) <= 0) continue;
      char c[256];
      const ssize_t n = ::read(out_, c, sizeof c);
      if (n <= 0) break;
      line.append(c, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// Every process's command line on the machine, as one text per process.
std::vector<std::string> commandLines() {
  std::vector<std::string> lines;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    lines.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return lines;
}

void waitForFile(const fs::path& path) {
  for (int i = 0; i < 6000 && !fs::exists(path); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(LocalWebProcess, NoCommandLineCarriesTheLaunchSecret) {
  const std::string build = QY_BUILD_DIR;
  struct Case {
    const char* name;
    const char* server;   // key and launch file names
    bool reader;
  };
  const Case kCases[] = {{"settings application", "settings", false}, {"mail reader", "reader", true}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path home = dir / "home";
    fs::create_directories(home / "cache");
    fs::permissions(home, fs::perms::owner_all);
    fs::create_directories(dir / "mail/new");
    fs::create_directories(dir / "bin");
    // The opener records its arguments and stays, so its command line can be looked at.
    const fs::path opener = dir / "bin/xdg-open";
    qy::testing::writeFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir / "args.tmp").string() + "'\nmv '" +
                                       (dir / "args.tmp").string() + "' '" + (dir / "args").string() +
                                       "'\necho $$ > '" + (dir / "opener.pid").string() + "'\nexec sleep 120\n");
    fs::permissions(opener, fs::perms::owner_all);
    std::map<std::string, std::string> env = {{"QY_HOME", home.string()}, {"QY_SYSTEMCTL", "/bin/false"}};
    std::vector<std::string> argv;
    if (c.reader) {
      env["PATH"] = (dir / "bin").string() + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
      argv = {build + "/extension/quillory-ext", "serve", "--reader", (dir / "mail").string()};
    } else {
      env["QY_OPENER"] = opener.string();
      argv = {build + "/app/quillory"};
    }
    Program program(argv, env);
    const std::string printed = program.firstLine();
    ASSERT_NE(printed.find("?k="), std::string::npos) << "the address is printed for the user: " << printed;
    waitForFile(dir / "args");
    const std::string args = qy::testing::readFile(dir / "args");
    const fs::path launch = home / (std::string("open-") + c.server + ".html");
    EXPECT_EQ(args, "file://" + launch.string() + "\n");
    EXPECT_EQ(qy::testing::modeOf(launch), 0600u);
    const std::optional<std::string> key = web::readKey(home, c.server);
    ASSERT_TRUE(key);
    const std::string page = qy::testing::readFile(launch);
    const size_t at = page.find("?k=");
    ASSERT_NE(at, std::string::npos);
    const std::string token = page.substr(at + 3, page.find('"', at) - at - 3);
    const std::string printedToken = printed.substr(printed.find("?k=") + 3);
    for (const std::string& line : commandLines()) {
      EXPECT_EQ(line.find(*key), std::string::npos) << line;
      EXPECT_EQ(line.find(token), std::string::npos) << line;
      EXPECT_EQ(line.find(printedToken), std::string::npos) << line;
    }
    // The opener is done with (by its own pid, which the sleep it became keeps).
    waitForFile(dir / "opener.pid");
    const pid_t openerPid = std::atoi(qy::testing::readFile(dir / "opener.pid").c_str());
    if (openerPid > 1) ::kill(openerPid, SIGKILL);
  }
}

// The resident-memory peak of a process, in KiB (VmHWM).
long peakKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmHWM:")) return std::atol(line.c_str() + 6);
  return -1;
}

TEST(LocalWebProcess, TwoHundredThousandHeaderLinesDoNotGrowTheSettingsApplication) {
  TempDir dir;
  fs::create_directories(dir / "home/cache");
  fs::permissions(dir / "home", fs::perms::owner_all);
  // Port 0 is any free port, and the address printed names the real one.
  Program program({std::string(QY_BUILD_DIR) + "/app/quillory", "--no-browser", "--port", "0"},
                  {{"QY_HOME", (dir / "home").string()}, {"QY_SYSTEMCTL", "/bin/false"}});
  const std::string printed = program.firstLine();
  ASSERT_TRUE(printed.starts_with("http://127.0.0.1:")) << printed;
  const std::string port = printed.substr(17, printed.find('/', 17) - 17);
  ASSERT_GT(std::atoi(port.c_str()), 0) << printed;
  const long before = peakKiB(program.pid());
  ASSERT_GT(before, 0);

  std::string flood = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n";
  for (int i = 0; i < 200'000; ++i) flood += "X-Header-" + std::to_string(i) + ": some value\r\n";
  flood += "\r\n";
  const std::string answer =
      qy::testing::runProcess({"/usr/bin/python3", "-c",
                               "import socket,sys\n"
                               "s=socket.create_connection(('127.0.0.1'," + port + "))\n"
                               "try: s.sendall(sys.stdin.buffer.read())\n"
                               "except OSError: pass\n"
                               "try: print(s.recv(64).split(b'\\r\\n')[0].decode())\n"
                               "except OSError: print('reset')\n"},
                              flood)
          .out;
  EXPECT_TRUE(answer == "HTTP/1.1 431 Request Header Fields Too Large\n" || answer == "reset\n" || answer == "\n")
      << answer;
  const long after = peakKiB(program.pid());
  // Before the front, the whole head was parsed into memory: over 200 MB more. The bound leaves
  // room for a sanitizer's shadow memory (about 28 MiB under ThreadSanitizer).
  EXPECT_LT(after - before, 64 * 1024) << before << " KiB before, " << after << " KiB after";
  // And the page still opens.
  const std::string opened = qy::testing::runProcess(
      {"/usr/bin/python3", "-c",
       "import urllib.request,sys\n"
       "print(urllib.request.urlopen(sys.argv[1]).status)\n", printed}, "").out;
  EXPECT_EQ(opened, "200\n");
}

}  // namespace
}  // namespace qy
