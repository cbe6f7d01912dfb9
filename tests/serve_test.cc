// The host protocol against a real `quillory-ext serve` over its real socket: every operation,
// bad requests and frames, concurrency between requests, a second service, a stale socket, the
// peer check, and stopping on SIGTERM.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/mime/mime.h"
#include "extension/service/socket_server.h"
#include "platform/base64.h"
#include "protocol/host_frame.h"
#include "support/engine_fixture.h"
#include "support/serve_process.h"
#include "support/subprocess.h"

namespace qy {
namespace {

using nlohmann::json;
using testing::ServeProcess;

const std::string kEnglish =
    "Dear team,\n\nThe quarterly report is attached to this message.\n\n"
    "Please review the numbers before our meeting on Friday.\n\nBest regards,\nAnna\n";

std::string b64(const std::string& bytes) { return platform::base64Encode(bytes); }
std::string unb64(const json& text) { return platform::base64Decode(text.get<std::string>()).value(); }

// Events received by a client, waited for without a time bound that a busy machine could miss.
class Events {
 public:
  protocol::HostClient::EventHandler handler() {
    return [this](const json& event) {
      std::lock_guard guard(lock_);
      events_.push_back(event);
      arrived_.notify_all();
    };
  }
  bool waitFor(size_t count) {
    std::unique_lock guard(lock_);
    return arrived_.wait_for(guard, std::chrono::seconds(120),
                             [&] { return events_.size() >= count; });
  }
  std::vector<json> all() {
    std::lock_guard guard(lock_);
    return events_;
  }

 private:
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<json> events_;
};

// The text body of a rebuilt message, decoded.
std::string htmlOf(const std::string& message) {
  ByteView bytes(reinterpret_cast<const uint8_t*>(message.data()), message.size());
  auto root = MIME::parse(bytes);
  const MIMEPart* part = MIME::findTextPart(*root);
  return part ? MIME::decodeString(MIME::decodeBody(bytes, *part), "utf-8", true) : "";
}

json request(protocol::HostClient& client, json body) {
  auto answer = client.request(std::move(body));
  EXPECT_TRUE(answer);
  return answer.value_or(json());
}

TEST(Serve, AnswersEveryOperation) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  EXPECT_EQ(testing::modeOf(serve.socket()), 0600u);
  EXPECT_EQ(testing::modeOf(serve.home()), 0700u);

  Events events;
  auto host = serve.connect(events.handler());
  ASSERT_TRUE(host);
  EXPECT_EQ(host->hello(),
            (json{{"id", 0}, {"ok", true}, {"version", 1}, {"server", "quillory-ext"},
                  {"reader", nullptr}}));
  EXPECT_EQ(request(*host, {{"op", "subscribe"}})["ok"], true);

  // On the main thread nothing waits: the received bytes under the progress banner.
  serve.holdTranslations();
  const std::string message = testing::plainMessage(kEnglish);
  json pending = request(*host, {{"op", "decodedMessage"}, {"data", b64(message)},
                                 {"mainThread", true}});
  ASSERT_EQ(pending["ok"], true) << pending.dump();
  EXPECT_EQ(unb64(pending["message"]["data"]), message);
  EXPECT_EQ(pending["message"]["banner"],
            (json{{"title", "正在翻译为西班牙语\u2026 0/4"},
                  {"primaryActionTitle", "设置"},
                  {"dismissable", true}}));
  EXPECT_EQ(pending["message"]["securityInformation"],
            (json{{"signers", json::array()}, {"isEncrypted", false}, {"signingError", nullptr},
                  {"encryptionError", nullptr}}));
  json context = json::parse(unb64(pending["message"]["context"]));
  EXPECT_EQ(context["s"], "pending");
  // A subject not translated yet is left out, as hosts older than the member know the answer.
  EXPECT_FALSE(pending["message"].contains("subject"));

  // The finished job asks the host to reload.
  serve.releaseTranslations();
  ASSERT_TRUE(events.waitFor(1));
  EXPECT_EQ(events.all()[0], (json{{"event", "reloadVisibleMessages"}}));
  json done = request(*host, {{"op", "decodedMessage"}, {"data", b64(message)},
                              {"mainThread", false}});
  EXPECT_NE(htmlOf(unb64(done["message"]["data"])).find("es:The quarterly report"),
            std::string::npos);
  EXPECT_EQ(json::parse(unb64(done["message"]["context"]))["s"], "done");
  EXPECT_EQ(done["message"]["subject"], "es:Hello");

  // The banner button of a finished message opens the panel for its key.
  json opened = request(*host, {{"op", "primaryActionClicked"},
                                {"context", done["message"]["context"]}});
  json panel = opened["panel"];
  EXPECT_EQ(panel["key"], context["k"]);
  EXPECT_EQ(panel["preferredContentSize"], json::array({330, 216}));
  EXPECT_EQ(panel["rows"][0],
            (json{{"label", "显示"}, {"control", "mode"},
                  {"segments", {"双语对照", "仅译文", "关闭"}}, {"selected", 0}}));
  EXPECT_EQ(panel["rows"][1]["label"], "样式");
  EXPECT_EQ(panel["rows"][2]["control"], "dark");
  EXPECT_EQ(panel["buttons"],
            (json{{{"title", "重新翻译这封邮件"}, {"action", "retranslate"}},
                  {{"title", "更多设置\u2026"}, {"action", "openApp"}}}));
  EXPECT_EQ(panel["note"], "关闭后，到\u201cQuillory\u201dApp 里可以重新打开。");

  json changed = request(*host, {{"op", "panelChanged"}, {"panel", panel["id"]},
                                 {"selected", {{"mode", 1}, {"style", 2}, {"dark", 1}}}});
  EXPECT_EQ(changed["panel"]["rows"][0]["selected"], 1);
  json saved = json::parse(testing::readFile(serve.home() / "config.json"));
  EXPECT_EQ(saved["mode"], "replace");
  EXPECT_EQ(saved["style"], "plain");
  EXPECT_EQ(saved["darkMode"], "on");
  EXPECT_EQ(saved["targetLanguage"], "es");
  EXPECT_TRUE(changed["panel"]["error"].is_null());
  ASSERT_TRUE(events.waitFor(2));  // "settings changed in panel"
  // A change that cannot be written (config.json replaced by a directory) is answered with the
  // panel of the settings that hold and an error for the host to show.
  std::filesystem::rename(serve.home() / "config.json", serve.home() / "config.saved");
  std::filesystem::create_directory(serve.home() / "config.json");
  json refused = request(*host, {{"op", "panelChanged"}, {"panel", panel["id"]},
                                 {"selected", {{"mode", 2}, {"style", 2}, {"dark", 1}}}});
  EXPECT_EQ(refused["ok"], true);
  EXPECT_NE(refused["panel"]["error"].get<std::string>().find("没有保存"), std::string::npos);
  EXPECT_NE(refused["panel"]["rows"][0]["selected"], 2);
  std::filesystem::remove(serve.home() / "config.json");
  std::filesystem::rename(serve.home() / "config.saved", serve.home() / "config.json");
  EXPECT_EQ(request(*host, {{"op", "panelRetranslate"}, {"panel", panel["id"]}})["panel"]["id"],
            panel["id"]);
  EXPECT_EQ(request(*host, {{"op", "panelOpenApp"}, {"panel", panel["id"]}})["ok"], true);
  json closed = request(*host, {{"op", "panelClosed"}, {"panel", panel["id"]}});
  closed.erase("id");
  EXPECT_EQ(closed, (json{{"ok", true}}));
  EXPECT_EQ(request(*host, {{"op", "panelRetranslate"}, {"panel", panel["id"]}})["ok"], false);

  // An offer's button asks for a reload and opens nothing.
  json offer = request(*host, {{"op", "primaryActionClicked"},
                               {"context", b64(R"({"h":"x","s":"offer"})")}});
  EXPECT_EQ(offer["panel"], nullptr);
  EXPECT_EQ(request(*host, {{"op", "primaryActionClicked"}, {"context", nullptr}})["panel"]["key"],
            nullptr);

  json status = request(*host, {{"op", "encodingStatus"}});
  status.erase("id");
  EXPECT_EQ(status, (json{{"ok", true}, {"canSign", false}, {"canEncrypt", false},
                          {"securityError", nullptr},
                          {"addressesFailingEncryption", json::array()}}));
  json encoded = request(*host, {{"op", "encode"}});
  encoded.erase("id");
  EXPECT_EQ(encoded, (json{{"ok", true}, {"encodedMessage", nullptr}, {"signingError", nullptr},
                           {"encryptionError", nullptr}}));

  // The settings application's reload reaches every subscribed connection, and only those.
  auto quiet = serve.connect();
  size_t before = events.all().size();
  EXPECT_EQ(request(*quiet, {{"op", "reloadVisibleMessages"}})["delivered"], 1);
  ASSERT_TRUE(events.waitFor(before + 1));

  json processed = request(*host, {{"op", "process"}, {"data", b64(message)}, {"wait", nullptr}});
  EXPECT_EQ(processed["result"]["note"], "translated");
  EXPECT_EQ(processed["result"]["subject"], "es:Hello");
  EXPECT_EQ(processed["result"]["context"]["k"].get<std::string>().substr(0, 24), context["h"]);

  host.reset();
  quiet.reset();
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(serve.socket()));
  std::string log = serve.log();
  for (const char* line : {"extension started", "service listening on ", "banner button clicked (state=done)",
                           "asking Mail to reload: settings changed in panel",
                           "asking Mail to reload: user asked to retranslate",
                           "banner button clicked (state=offer)", "service stopped"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST(Serve, BadRequestsAreAnsweredWithAnErrorAndTheConnectionStaysOpen) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto host = serve.connect();
  ASSERT_TRUE(host);
  struct Case {
    std::string name;
    json request;
    std::string error;
  };
  const Case kCases[] = {
      {"no op", {{"data", "QQ=="}}, "missing field \"op\""},
      {"unknown op", {{"op", "translateEverything"}}, "unknown op \"translateEverything\""},
      {"hello without a version", {{"op", "hello"}}, "missing field \"version\""},
      {"no data", {{"op", "decodedMessage"}}, "missing field \"data\""},
      {"data not Base64", {{"op", "decodedMessage"}, {"data", "a b"}}, "not standard Base64"},
      {"mainThread not a bool", {{"op", "decodedMessage"}, {"data", "QQ=="}, {"mainThread", 1}},
       "mainThread"},
      {"context not Base64", {{"op", "primaryActionClicked"}, {"context", "%%%%"}},
       "not standard Base64"},
      {"no panel", {{"op", "panelRetranslate"}}, "missing field \"panel\""},
      {"unknown panel", {{"op", "panelClosed"}, {"panel", 99}}, "no open panel 99"},
      {"no selection", {{"op", "panelChanged"}, {"panel", 1}}, "missing field \"selected\""},
      {"wait not a number", {{"op", "process"}, {"data", "QQ=="}, {"wait", "soon"}}, "wait"},
      {"negative wait", {{"op", "process"}, {"data", "QQ=="}, {"wait", -1}}, "wait"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    json answer = request(*host, c.request);
    EXPECT_EQ(answer["ok"], false);
    EXPECT_NE(answer.value("error", "").find(c.error), std::string::npos) << answer.dump();
  }
  // A bad segment index changes nothing.
  json panel = request(*host, {{"op", "primaryActionClicked"}, {"context", nullptr}})["panel"];
  json bad = request(*host, {{"op", "panelChanged"}, {"panel", panel["id"]},
                             {"selected", {{"mode", 1}, {"dark", 3}}}});
  EXPECT_NE(bad.value("error", "").find("selected.dark"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(serve.home() / "config.json") &&
               testing::readFile(serve.home() / "config.json").find("replace") != std::string::npos);
  EXPECT_EQ(request(*host, {{"op", "hello"}, {"version", 1}})["ok"], true);
}

// A raw connection for frames no client would send.
class RawConnection {
 public:
  explicit RawConnection(const std::filesystem::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Every byte until the service closes the connection.
  std::string readToEnd() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0) all.append(buffer, n);
    return all;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

TEST(Serve, ABadFrameGetsAnErrorAndClosesOnlyItsConnection) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto bystander = serve.connect();
  ASSERT_TRUE(bystander);
  struct Case {
    std::string name, bytes, error;
  };
  const Case kCases[] = {
      {"length over 64 MiB", protocol::frameHeader((size_t{64} << 20) + 1), "over the limit"},
      {"an array", protocol::frameHeader(7) + "[1,2,3]", "not a JSON object"},
      {"not JSON", protocol::frameHeader(5) + "hello", "not valid"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    RawConnection raw(serve.socket());
    ASSERT_TRUE(raw.connected());
    raw.send(c.bytes);
    protocol::FrameReader reader;
    reader.feed(raw.readToEnd());  // the service answers, then closes
    auto frame = reader.next();
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->error, "");
    EXPECT_EQ(frame->object["id"], nullptr);
    EXPECT_EQ(frame->object["ok"], false);
    EXPECT_NE(frame->object.value("error", "").find(c.error), std::string::npos);
    EXPECT_FALSE(reader.next());
  }
  EXPECT_EQ(request(*bystander, {{"op", "hello"}, {"version", 1}})["ok"], true);
}

// The service's open sockets: its listener and the connections it still holds.
size_t openSockets(pid_t pid) {
  size_t count = 0;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    std::error_code unreadable;
    auto target = std::filesystem::read_symlink(entry.path(), unreadable);
    if (!unreadable && target.string().starts_with("socket:")) ++count;
  }
  return count;
}

// Waits until the service holds `count` sockets; whether it came to that.
bool socketsCome(pid_t pid, size_t count) {
  for (int i = 0; i < 6000; ++i) {
    if (openSockets(pid) == count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Serve, AHostThatHangsUpIsLetGoWhateverItLeftUnfinished) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto bystander = serve.connect();
  ASSERT_TRUE(bystander);
  EXPECT_EQ(request(*bystander, {{"op", "hello"}, {"version", 1}})["ok"], true);
  const size_t before = openSockets(serve.pid());
  {
    // Gone in the middle of a frame: the rest can never come.
    RawConnection raw(serve.socket());
    ASSERT_TRUE(raw.connected());
    raw.send(protocol::frameHeader(100) + R"({"id": 1, "op": "hel)");
    ASSERT_TRUE(socketsCome(serve.pid(), before + 1));  // accepted
  }
  EXPECT_TRUE(socketsCome(serve.pid(), before));
  {
    // Gone while its decode waits for a translation: nobody is left to answer.
    serve.holdTranslations();
    RawConnection raw(serve.socket());
    ASSERT_TRUE(raw.connected());
    std::string body = json{{"id", 1}, {"op", "process"},
                            {"data", b64(testing::plainMessage(kEnglish, "Gone"))},
                            {"wait", nullptr}}.dump();
    raw.send(protocol::frameHeader(body.size()) + body);
    ASSERT_TRUE(socketsCome(serve.pid(), before + 1));
  }
  EXPECT_TRUE(socketsCome(serve.pid(), before));
  serve.releaseTranslations();
  EXPECT_EQ(request(*bystander, {{"op", "hello"}, {"version", 1}})["ok"], true);
}

// A reader running as a host of its own names its page in `hello`; the service reports it to
// other hosts (the settings application opens it) while that connection lasts.
TEST(Serve, AReaderNamedInHelloIsReportedWhileItsConnectionLasts) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto reader = serve.connect();
  ASSERT_TRUE(reader);
  for (const char* bad : {"http://192.0.2.1:8080/", "http://127.0.0.1:8080/x", "http://127.0.0.1:0/",
                          "javascript:alert(1)"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(request(*reader, {{"op", "hello"}, {"version", 1}, {"reader", bad}})["ok"], false);
  }
  EXPECT_EQ(serve.connect()->hello()["reader"], nullptr);
  const std::string page = "http://127.0.0.1:4321/";
  EXPECT_EQ(request(*reader, {{"op", "hello"}, {"version", 1}, {"reader", page}})["ok"], true);
  EXPECT_EQ(serve.connect()->hello()["reader"], page);

  // The page is dropped once the service has read the connection's end.
  reader.reset();
  bool dropped = false;
  for (int i = 0; i < 6000 && !dropped; ++i) {
    dropped = serve.connect()->hello()["reader"].is_null();
    if (!dropped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(dropped) << "the page outlived its reader's connection";
}

TEST(Serve, ASlowDecodeHoldsUpNoOtherRequestOrConnection) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto host = serve.connect();
  auto other = serve.connect();
  ASSERT_TRUE(host && other);
  serve.holdTranslations();
  const std::string slow = testing::plainMessage(kEnglish, "Slow");
  std::optional<json> slowAnswer;
  std::atomic<bool> slowDone{false};
  std::thread waiting([&] {
    slowAnswer = host->request({{"op", "process"}, {"data", b64(slow)}, {"wait", nullptr}});
    slowDone = true;
  });
  // While it waits for its translation, the same connection and another one are answered.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(request(*host, {{"op", "hello"}, {"version", 1}})["ok"], true);
    json quick = request(*other, {{"op", "decodedMessage"},
                                  {"data", b64(testing::plainMessage(kEnglish, std::to_string(i)))},
                                  {"mainThread", true}});
    EXPECT_EQ(json::parse(unb64(quick["message"]["context"]))["s"], "pending");
  }
  EXPECT_FALSE(slowDone);
  serve.releaseTranslations();
  waiting.join();
  ASSERT_TRUE(slowAnswer);
  EXPECT_EQ((*slowAnswer)["result"]["note"], "translated");
}

// Whether process `pid` still runs (a zombie waiting for its reaper does not).
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  return close != std::string::npos && close + 2 < all.size() && all[close + 2] != 'Z';
}

TEST(Serve, SigtermEndsTheServiceAndItsEnginesEvenMidTranslation) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto host = serve.connect();
  ASSERT_TRUE(host);
  serve.holdTranslations();
  json pending = request(*host, {{"op", "decodedMessage"},
                                 {"data", b64(testing::plainMessage(kEnglish))},
                                 {"mainThread", true}});
  ASSERT_EQ(pending["ok"], true);
  // The engine has the batch and holds it back.
  const auto noted = serve.home() / "service-provider.log";
  // The provider creates its note, then writes it: wait for the line.
  auto noteWritten = [&] {
    return std::filesystem::exists(noted) && testing::readFile(noted).find('\n') != std::string::npos;
  };
  for (int i = 0; i < 6000 && !noteWritten(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(noteWritten());
  pid_t engine = std::stoi(testing::readFile(noted));
  ASSERT_TRUE(running(engine));
  host.reset();
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(serve.socket()));
  for (int i = 0; i < 6000 && running(engine); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(running(engine));
}

TEST(Serve, ASecondServiceExitsAndAStaleSocketIsReplaced) {
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  auto second = testing::runProcess({QY_EXT_BINARY, "serve"}, "",
                                    {{"QY_HOME", serve.home().string()}});
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.err, "quillory-ext serve：服务已经在运行（" + serve.socket().string() + "）\n");
  EXPECT_TRUE(serve.connect());  // the first one still serves

  serve.kill();  // dies without removing its socket
  ASSERT_TRUE(std::filesystem::exists(serve.socket()));
  EXPECT_FALSE(protocol::HostClient::connect(serve.socket(), std::chrono::milliseconds(500)));
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  EXPECT_TRUE(serve.connect());

  auto usage = testing::runProcess({QY_EXT_BINARY, "serve", "--bogus"}, "",
                                   {{"QY_HOME", serve.home().string()}});
  EXPECT_EQ(usage.status, 2);
}

TEST(Serve, APeerOfAnotherUserIsClosedUnanswered) {
  // The check itself, on a socket pair whose peer is this process.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  uid_t peer = 0;
  EXPECT_TRUE(peerIsUser(pair[0], ::geteuid(), &peer));
  EXPECT_EQ(peer, ::geteuid());
  EXPECT_FALSE(peerIsUser(pair[0], ::geteuid() + 1, &peer));
  ::close(pair[0]);
  ::close(pair[1]);

  if (::geteuid() != 0) GTEST_SKIP() << "connecting as a second user needs root (setpriv)";
  if (!std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "no /usr/bin/setpriv";
  ServeProcess serve;
  ASSERT_TRUE(serve.start()) << serve.serviceErrors();
  // As set up, the other user cannot even reach the socket.
  const std::string client =
      "import socket,struct,sys\n"
      "s=socket.socket(socket.AF_UNIX)\n"
      "try:\n  s.connect(sys.argv[1])\nexcept OSError as e:\n  print('refused', e.errno); sys.exit(0)\n"
      "b=b'{\"id\":1,\"op\":\"hello\",\"version\":1}'\n"
      "try:\n  s.sendall(struct.pack('<I',len(b))+b); got=s.recv(100)\n"
      "except (BrokenPipeError, ConnectionResetError):\n  got=b''\n"
      "print('answer', len(got))\n";
  auto asNobody = [&] {
    return testing::runProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                "--clear-groups", "/usr/bin/python3", "-c", client,
                                serve.socket().string()},
                               "");
  };
  auto blocked = asNobody();
  EXPECT_EQ(blocked.out, "refused 13\n") << blocked.err;  // EACCES: the root is 0700
  // Opened up for the test, it reaches the socket, and the service closes it unanswered.
  ::chmod(serve.home().c_str(), 0711);
  ::chmod(serve.socket().c_str(), 0666);
  auto reached = asNobody();
  ::chmod(serve.home().c_str(), 0700);
  ::chmod(serve.socket().c_str(), 0600);
  EXPECT_EQ(reached.out, "answer 0\n") << reached.err;
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_NE(serve.log().find("refused a connection from uid 65534 (not the service's user)"),
            std::string::npos);
}

}  // namespace
}  // namespace qy

namespace qy {
namespace {

TEST(ServeDecode, DecodeUsesTheRunningServiceAndWritesTheSameBytes) {
  const std::string envelope = "From anna@example.com Thu Dec 10 09:00:00 2026\n";
  const std::string plain = testing::readFile(std::string(QY_SOURCE_DIR) + "/samples/plain-en.eml");
  const std::string newsletter =
      testing::readFile(std::string(QY_SOURCE_DIR) + "/samples/newsletter-en.eml");
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string input;
  };
  const Case kCases[] = {
      {"plain text with an envelope", {}, envelope + plain},
      {"html as JSON", {"--json"}, newsletter},
      {"envelope as JSON", {"--json"}, envelope + plain},
      {"skipped: the received bytes", {}, envelope + "Content-Type: image/png\n\nxx"},
      {"skipped as JSON", {"--json"}, "Content-Type: image/png\n\nxx"},
  };
  auto decode = [](const ServeProcess& home, const Case& c, const std::string& providerLog) {
    std::vector<std::string> argv = {QY_EXT_BINARY, "decode"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto run = testing::runProcess(argv, c.input, home.environment(providerLog));
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    ServeProcess served;
    ASSERT_TRUE(served.start()) << served.serviceErrors();
    const auto ownLog = served.home() / "decode-provider.log";
    std::string throughService = decode(served, c, ownLog.string());
    EXPECT_FALSE(std::filesystem::exists(ownLog));  // decode started no engine of its own
    ASSERT_EQ(served.stop(), 0);

    ServeProcess alone;  // never started
    const auto aloneLog = alone.home() / "decode-provider.log";
    std::string onItsOwn = decode(alone, c, aloneLog.string());
    EXPECT_EQ(throughService, onItsOwn);
    EXPECT_EQ(std::filesystem::exists(served.home() / "service-provider.log"),
              std::filesystem::exists(aloneLog));  // the same work, done by the service
    EXPECT_FALSE(onItsOwn.empty());
  }
}

}  // namespace
}  // namespace qy
