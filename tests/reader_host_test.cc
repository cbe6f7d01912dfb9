// `quillory-ext reader` as a host of its own beside a real `quillory-ext serve`: messages are
// translated by the service, the reader follows a restart of the service on its own (the new
// service's reload reaches its page before the reader sent it anything), and a message too large
// for a protocol frame fails alone.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/engine_fixture.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

namespace qy {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// A running `quillory-ext reader MAIL --port 0 --no-browser` (or `serve --reader MAIL ...`) on the
// service's storage root; its page's address is the first line it prints. SIGTERM on destruction.
class ReaderProcess {
 public:
  enum class Command { reader, serveReader };
  ReaderProcess(const testing::ServeProcess& serve, const fs::path& mail,
                Command command = Command::reader) {
    int out[2];
    if (::pipe(out) != 0) return;
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& [name, value] : serve.environment((serve.home() / "reader-provider.log").string()))
      env.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args =
        command == Command::reader
            ? std::vector<std::string>{QY_EXT_BINARY, "reader", mail.string(), "--port", "0",
                                       "--no-browser"}
            : std::vector<std::string>{QY_EXT_BINARY, "serve", "--reader", mail.string(), "--port",
                                       "0", "--no-browser"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string errors = (serve.home() / "reader.err").string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      FILE* err = std::fopen(errors.c_str(), "a");
      if (err) ::dup2(::fileno(err), 2);
      ::close(out[0]);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    // The first line: the page's address with its launch token.
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const auto port = line.find(':', 7);
    const auto token = line.find("?k=");
    if (port == std::string::npos || token == std::string::npos) return;
    port_ = std::stoi(line.substr(port + 1));
    token_ = line.substr(token + 3);
  }
  ~ReaderProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }

  bool started() const { return port_ > 0; }
  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  // Listens to the page's event stream (after a get(), which holds the cookie): `listening` is
  // set once the stream is open; true at the first reload, false when the stream ends first.
  bool waitForReload(std::promise<void>& listening) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(600);
    std::string received;
    bool opened = false, reloaded = false;
    client.Get("/events", {{"Cookie", cookie_}}, [&](const char* data, size_t size) {
      received.append(data, size);
      if (!opened && received.find(": ready") != std::string::npos) {
        opened = true;
        listening.set_value();
      }
      reloaded = received.find("event: reload") != std::string::npos;
      return !reloaded;
    });
    if (!opened) listening.set_value();
    return reloaded;
  }

  // The page's JSON answer to GET `path`, with the cookie the launch token turns into.
  json get(const std::string& path) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(600);
    if (cookie_.empty()) {
      auto first = client.Get("/?k=" + token_);
      if (!first) return nullptr;
      const std::string setCookie = first->get_header_value("Set-Cookie");
      cookie_ = setCookie.substr(0, setCookie.find(';'));
    }
    auto answer = client.Get(path, {{"Cookie", cookie_}});
    if (!answer || answer->status != 200) return nullptr;
    return json::parse(answer->body, nullptr, false);
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string token_, cookie_;
};

// Waits until `ready`, for at most a patience no busy machine runs out of.
bool waitUntil(const std::function<bool()>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A Maildir with one message of `body`, its id.
std::string addMessage(const fs::path& maildir, const std::string& name, const std::string& body) {
  fs::create_directories(maildir / "cur");
  fs::create_directories(maildir / "new");
  fs::create_directories(maildir / "tmp");
  testing::writeFile(maildir / "new" / name, testing::plainMessage(body, "Quarterly report"));
  return name;
}

// The id under which the reader lists the message whose file is `name`.
std::string listedId(ReaderProcess& reader, const std::string& name) {
  const json list = reader.get("/api/messages");
  if (!list.is_object() || !list.contains("messages")) return {};
  for (const auto& message : list["messages"]) {
    const std::string id = message.value("id", "");
    if (id.find(name) != std::string::npos) return id;
  }
  return {};
}

TEST(ReaderHost, BesideTheServiceAndAcrossItsRestart) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  testing::TempDir mail;
  const std::string name = addMessage(mail.path(), "1.a", "The meeting is tomorrow.");
  std::future<bool> reloaded;  // ends when the reader below does, should an assertion fail
  ReaderProcess reader(serve, mail.path());
  ASSERT_TRUE(reader.started());
  const std::string id = listedId(reader, name);
  ASSERT_FALSE(id.empty());

  json shown = reader.get("/api/message?id=" + id);
  ASSERT_TRUE(shown.is_object());
  EXPECT_TRUE(shown["notice"].is_null()) << shown["notice"];
  EXPECT_TRUE(shown["banner"].is_object()) << "not decoded by the service";
  EXPECT_EQ(serve.reloadsDelivered(), 1) << "the reader is not subscribed";
  EXPECT_EQ(serve.connect()->hello()["reader"], reader.address()) << "the page is not named";

  // The service dies and comes back: the reader connects and subscribes again on its own, so the
  // new service's reload reaches the page with no request from the reader first; its next
  // message is decoded by the new service.
  std::promise<void> listening;
  reloaded = std::async(std::launch::async, [&] { return reader.waitForReload(listening); });
  listening.get_future().wait();
  serve.kill();
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  ASSERT_TRUE(waitUntil([&] { return serve.reloadsDelivered() == 1; }))
      << "the reader did not come back subscribed";
  EXPECT_TRUE(reloaded.get());
  shown = reader.get("/api/message?id=" + id);
  ASSERT_TRUE(shown.is_object());
  EXPECT_TRUE(shown["notice"].is_null()) << shown["notice"];
  EXPECT_TRUE(shown["banner"].is_object());
  EXPECT_EQ(serve.reloadsDelivered(), 1);
  EXPECT_EQ(serve.connect()->hello()["reader"], reader.address()) << "not named to the new service";
}

// `serve --reader` where a service already runs (the user unit, say) starts the reader beside
// it instead of refusing.
TEST(ReaderHost, ServeWithTheReaderGoesBesideARunningService) {
  testing::ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  testing::TempDir mail;
  const std::string name = addMessage(mail.path(), "1.a", "The meeting is tomorrow.");
  ReaderProcess reader(serve, mail.path(), ReaderProcess::Command::serveReader);
  ASSERT_TRUE(reader.started());
  const json shown = reader.get("/api/message?id=" + listedId(reader, name));
  ASSERT_TRUE(shown.is_object());
  EXPECT_TRUE(shown["banner"].is_object()) << "not decoded by the running service";
  EXPECT_EQ(serve.reloadsDelivered(), 1) << "the reader is not subscribed to the running service";
}

TEST(ReaderHost, AMessageTooLargeForAFrameFailsAloneBesideOthersInFlight) {
  // The first paint waits as long as the translation is held, so a decode stays in flight.
  testing::ServeProcess serve(R"({"targetLanguage": "es", "firstPaintSeconds": 3600})");
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  testing::TempDir mail;
  const std::string small = addMessage(mail.path(), "1.a", "The meeting is tomorrow.");
  // 49 MiB of text is over the 64 MiB frame limit in Base64.
  const std::string large = addMessage(mail.path(), "2.a", std::string(49 << 20, 'a'));
  ReaderProcess reader(serve, mail.path());
  ASSERT_TRUE(reader.started());
  const std::string smallId = listedId(reader, small), largeId = listedId(reader, large);
  ASSERT_FALSE(smallId.empty());
  ASSERT_FALSE(largeId.empty());

  serve.holdTranslations();
  auto inFlight = std::async(std::launch::async, [&] { return reader.get("/api/message?id=" + smallId); });
  // Until its batch has reached the (held) engine.
  const fs::path batches = serve.home() / "service-provider.log";
  while (!fs::exists(batches) || testing::readFile(batches).empty()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const json refused = reader.get("/api/message?id=" + largeId);
  ASSERT_TRUE(refused.is_object());
  EXPECT_EQ(refused["notice"], "Quillory 扩展服务无法处理这封邮件，显示的是收到的原始邮件。");
  serve.releaseTranslations();
  const json translated = inFlight.get();
  ASSERT_TRUE(translated.is_object());
  EXPECT_TRUE(translated["notice"].is_null()) << translated["notice"];
  EXPECT_TRUE(translated["banner"].is_object());
  EXPECT_EQ(serve.reloadsDelivered(), 1);
}

}  // namespace
}  // namespace qy
