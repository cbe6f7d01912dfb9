// The native host's transport over real pipes: Thunderbird's framing both ways, answers over
// 1 MiB in pieces joined back byte for byte, requests up to 64 MiB, bad frames, events, and
// requests that do not wait for each other. The backend here is a small scripted one; the real
// backends are tested in native_host_backends_test.cc.
#include "extension/native_host.h"

#include <unistd.h>

#include <future>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace qy {
namespace {

using nlohmann::json;

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    ASSERT_GT(n, 0);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

std::string header(uint32_t n) {
  return {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
          static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
}

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

// One host over two pipes, run on its own thread; the test plays Thunderbird.
class HostRun {
 public:
  explicit HostRun(BackendFactory factory) {
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    toHost_ = in[1];
    fromHost_ = out[0];
    status_ = std::async(std::launch::async, [=, factory = std::move(factory)] {
      const int status = runNativeHost(in[0], out[1], factory);
      ::close(in[0]);
      ::close(out[1]);
      return status;
    });
  }
  ~HostRun() {
    closeInput();
    if (status_.valid()) {
      status_.wait();
    }
    ::close(fromHost_);
  }

  void send(const std::string& body) { writeAll(toHost_, header(static_cast<uint32_t>(body.size())) + body); }
  void send(const json& request) { send(request.dump()); }
  void sendRaw(const std::string& bytes) { writeAll(toHost_, bytes); }
  void closeInput() {
    if (toHost_ >= 0) {
      ::close(toHost_);
      toHost_ = -1;
    }
  }
  int status() { return status_.get(); }

  // The next frame's body, checked against Thunderbird's limit; empty at the end.
  std::string frame() {
    std::string head, body;
    if (!readExactly(fromHost_, head, 4)) {
      return "";
    }
    const uint32_t n = static_cast<unsigned char>(head[0]) | static_cast<unsigned char>(head[1]) << 8 |
                       static_cast<unsigned char>(head[2]) << 16 | static_cast<uint32_t>(static_cast<unsigned char>(head[3])) << 24;
    EXPECT_LE(n, size_t{1} << 20) << "Thunderbird refuses frames over 1 MiB";
    EXPECT_TRUE(readExactly(fromHost_, body, n));
    return body;
  }

  // The next message as the add-on sees it: pieces joined (this host writes the pieces of one
  // answer together), as JSON text.
  std::string message() {
    std::string body = frame();
    if (body.empty()) {
      return body;
    }
    json first = json::parse(body);
    if (!first.contains("pieces")) {
      return body;
    }
    std::string joined = first["text"];
    for (int i = 1; i < first["pieces"].get<int>(); ++i) {
      json piece = json::parse(frame());
      EXPECT_EQ(piece["seq"], first["seq"]);
      EXPECT_EQ(piece["piece"], i);
      joined += piece["text"].get<std::string>();
    }
    return joined;
  }
  json next() {
    const std::string text = message();
    return text.empty() ? json() : json::parse(text);
  }

 private:
  int toHost_ = -1;
  int fromHost_ = -1;
  std::future<int> status_;
};

// Answers by op: "echo" with the request's size, "big" with `big`, "wait" once `release` is set,
// "event" by sending an event first.
class ScriptedBackend : public HostBackend {
 public:
  ScriptedBackend(EventSink sink, std::string big, std::shared_future<void> release)
      : sink_(std::move(sink)), big_(std::move(big)), release_(std::move(release)) {}

  std::string handle(const json& request) override {
    const std::string op = request.value("op", "");
    json answer = {{"id", request["id"]}, {"ok", true}};
    if (op == "big") {
      return big_;
    }
    if (op == "wait") {
      release_.wait();
    }
    if (op == "event") {
      sink_({{"event", "reloadVisibleMessages"}});
    }
    answer["size"] = request.dump().size();
    return answer.dump();
  }

 private:
  EventSink sink_;
  std::string big_;
  std::shared_future<void> release_;
};

BackendFactory scripted(std::string big = "", std::shared_future<void> release = {}) {
  return [=](HostBackend::EventSink sink) {
    return std::make_unique<ScriptedBackend>(std::move(sink), big, release);
  };
}

TEST(NativeHost, ASlowRequestDoesNotHoldUpTheNextOne) {
  std::promise<void> release;
  HostRun host(scripted("", release.get_future().share()));
  host.send(json{{"id", "slow"}, {"op", "wait"}});
  host.send(json{{"id", 2}, {"op", "echo"}});
  EXPECT_EQ(host.next()["id"], 2);
  release.set_value();
  EXPECT_EQ(host.next()["id"], "slow");
  host.closeInput();
  EXPECT_TRUE(host.message().empty());
  EXPECT_EQ(host.status(), 0);
}

TEST(NativeHost, AnAnswerOverOneMebibyteArrivesInPiecesJoinedByteIdentical) {
  json answer = {{"id", 1}, {"ok", true}};
  std::string html;
  while (html.size() < (size_t{5} << 19)) {
    html += "<p>译文“引号”\\ \"q\" \U0001F600</p>";
  }
  answer["message"] = {{"data", std::string(size_t{3} << 19, 'A')}, {"html", html}};
  const std::string big = answer.dump();
  HostRun host(scripted(big));
  host.send(json{{"id", 1}, {"op", "big"}});
  EXPECT_EQ(host.message(), big);
}

TEST(NativeHost, RequestsUpToTheProtocolLimitAreRead) {
  HostRun host(scripted());
  const json request = {{"id", 1}, {"op", "echo"}, {"data", std::string(size_t{40} << 20, 'B')}};
  host.send(request);
  EXPECT_EQ(host.next()["size"], request.dump().size());
}

TEST(NativeHost, EventsFromTheBackendReachThunderbird) {
  HostRun host(scripted());
  host.send(json{{"id", 1}, {"op", "event"}});
  EXPECT_EQ(host.next(), json({{"event", "reloadVisibleMessages"}}));
  EXPECT_EQ(host.next()["id"], 1);
}

TEST(NativeHost, ABadFrameIsAnsweredAndEndsTheHost) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case kCases[] = {
      {"length past 64 MiB", header((64u << 20) + 1)},
      {"an array", header(3) + "[1]"},
      {"not JSON", header(5) + "{oops"},
      {"broken UTF-8", header(11) + "{\"op\":\"\xff\xfe\"}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HostRun host(scripted());
    host.send(json{{"id", 1}, {"op", "echo"}});
    host.sendRaw(c.bytes);
    json first = host.next();
    json second = host.next();
    if (first.contains("error")) {
      std::swap(first, second);
    }
    EXPECT_EQ(first["id"], 1) << "the request before the bad frame is still answered";
    EXPECT_EQ(second["id"], nullptr);
    EXPECT_EQ(second["ok"], false);
    EXPECT_FALSE(second.value("error", "").empty());
    EXPECT_EQ(host.status(), 1);
  }
}

TEST(NativeHost, InputClosedMidFrameEndsQuietly) {
  HostRun host(scripted());
  host.sendRaw(header(100) + "{\"id\":");
  host.closeInput();
  EXPECT_TRUE(host.message().empty());
  EXPECT_EQ(host.status(), 0);
}

}  // namespace
}  // namespace qy
