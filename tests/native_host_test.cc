// The native host's transport over real pipes: Thunderbird's framing both ways, answers over
// 1 MiB in pieces joined back byte for byte, requests up to 64 MiB, bad frames, events, and
// requests that do not wait for each other. The backend here is a small scripted one; the real
// backends are tested in native_host_backends_test.cc.
#include "extension/service/native_host.h"

#include <unistd.h>

#include <future>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/addon_pipe.h"

namespace qy {
namespace {

using nlohmann::json;

using testing::frameLength;

// One host over two pipes, run on its own thread; the test plays Thunderbird.
class HostRun {
 public:
  explicit HostRun(BackendFactory factory) {
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    pipe_ = std::make_unique<testing::AddonPipe>(in[1], out[0]);
    status_ = std::async(std::launch::async, [=, factory = std::move(factory)] {
      const int status = runNativeHost(in[0], out[1], factory);
      ::close(in[0]);
      ::close(out[1]);
      return status;
    });
  }
  ~HostRun() {
    pipe_->closeInput();
    if (status_.valid()) {
      status_.wait();
    }
  }
  testing::AddonPipe* operator->() { return pipe_.get(); }
  int status() { return status_.get(); }

 private:
  std::unique_ptr<testing::AddonPipe> pipe_;
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
  host->send(json{{"id", "slow"}, {"op", "wait"}});
  host->send(json{{"id", 2}, {"op", "echo"}});
  EXPECT_EQ(host->next()["id"], 2);
  release.set_value();
  EXPECT_EQ(host->next()["id"], "slow");
  host->closeInput();
  EXPECT_TRUE(host->message().empty());
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
  host->send(json{{"id", 1}, {"op", "big"}});
  EXPECT_EQ(host->message(), big);
}

TEST(NativeHost, RequestsUpToTheProtocolLimitAreRead) {
  HostRun host(scripted());
  const json request = {{"id", 1}, {"op", "echo"}, {"data", std::string(size_t{40} << 20, 'B')}};
  host->send(request);
  EXPECT_EQ(host->next()["size"], request.dump().size());
}

TEST(NativeHost, EventsFromTheBackendReachThunderbird) {
  HostRun host(scripted());
  host->send(json{{"id", 1}, {"op", "event"}});
  EXPECT_EQ(host->next(), json({{"event", "reloadVisibleMessages"}}));
  EXPECT_EQ(host->next()["id"], 1);
}

TEST(NativeHost, ABadFrameIsAnsweredAndEndsTheHost) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case kCases[] = {
      {"length past 64 MiB", frameLength((64u << 20) + 1)},
      {"an array", frameLength(3) + "[1]"},
      {"not JSON", frameLength(5) + "{oops"},
      {"broken UTF-8", frameLength(11) + "{\"op\":\"\xff\xfe\"}"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    HostRun host(scripted());
    host->send(json{{"id", 1}, {"op", "echo"}});
    host->sendRaw(c.bytes);
    json first = host->next();
    json second = host->next();
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
  host->sendRaw(frameLength(100) + "{\"id\":");
  host->closeInput();
  EXPECT_TRUE(host->message().empty());
  EXPECT_EQ(host.status(), 0);
}

}  // namespace
}  // namespace qy
