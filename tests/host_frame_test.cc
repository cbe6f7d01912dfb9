// Frames of the host protocol, Base64 as it carries bytes, and HostClient against a small
// in-test peer on a real Unix socket.
#include "protocol/host_frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/base64.h"
#include "protocol/host_client.h"
#include "support/temp_dir.h"

namespace qy::protocol {
namespace {

using nlohmann::json;
using platform::base64Decode;
using platform::base64Encode;

std::vector<FrameReader::Frame> readAll(FrameReader& reader) {
  std::vector<FrameReader::Frame> frames;
  while (auto frame = reader.next()) frames.push_back(std::move(*frame));
  return frames;
}

TEST(HostFrame, FramesRoundTripWhateverTheSizeOfThePiecesReceived) {
  json first = {{"id", 1}, {"op", "hello"}, {"version", 1}};
  json second = {{"id", "b"}, {"text", "中文 \xe2\x80\xa6 \"quoted\""}};
  std::string stream = encodeFrame(first) + encodeFrame(second);
  EXPECT_EQ(stream.substr(0, 4), std::string("\x21\0\0\0", 4));  // 33 bytes follow
  EXPECT_EQ(frameHeader(0x01020304), "\x04\x03\x02\x01");        // little-endian
  for (size_t piece : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
    SCOPED_TRACE(piece);
    FrameReader reader;
    std::vector<FrameReader::Frame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.feed(std::string_view(stream).substr(at, piece));
      for (auto& frame : readAll(reader)) frames.push_back(std::move(frame));
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].object, first);
    EXPECT_EQ(frames[1].object, second);
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(HostFrame, BadFramesEndTheStreamWithAnError) {
  struct Case {
    std::string name, bytes, error;
  };
  std::string deep(kMaxFrameDepth + 1, '[');
  std::string many = "{\"a\":[0";
  for (size_t i = 0; i < kMaxFrameValues; ++i) many += ",0";
  many += "]}";
  const Case kCases[] = {
      {"length over the limit", frameHeader(kMaxFrameSize + 1), "over the limit"},
      {"largest length", std::string("\xff\xff\xff\xff", 4), "over the limit"},
      {"array", frameHeader(2) + "[]", "not a JSON object"},
      {"string", frameHeader(4) + "\"ab\"", "not a JSON object"},
      {"empty body", frameHeader(0), "not valid"},
      {"broken JSON", frameHeader(5) + "{\"a\":", "not valid"},
      {"trailing garbage", frameHeader(4) + "{}{}", "not valid"},
      {"invalid UTF-8", frameHeader(10) + "{\"a\":\"\xff\xfe\"}", "not valid"},
      {"nested too deep", frameHeader(deep.size() + 7) + "{\"a\":" + deep + "1}", "nested"},
      {"trailing NUL", frameHeader(3) + std::string("{}\0", 3), "NUL"},
      {"bytes after a NUL", frameHeader(10) + std::string("{}\0garbage", 10), "NUL"},
      {"too many values", frameHeader(many.size()) + many, "JSON values"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    FrameReader reader;
    reader.feed(c.bytes + encodeFrame(json{{"after", true}}));
    auto frames = readAll(reader);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_NE(frames[0].error.find(c.error), std::string::npos) << frames[0].error;
    EXPECT_TRUE(reader.failed());
    reader.feed(encodeFrame(json::object()));
    EXPECT_FALSE(reader.next());
  }
}

TEST(HostFrame, AFrameAtTheLimitIsRead) {
  std::string text(kMaxFrameSize - 8, 'a');
  std::string frame = encodeFrame(json::object(), {RawField{{"a"}, text}});
  ASSERT_EQ(frame.size(), kFrameHeaderSize + kMaxFrameSize);
  FrameReader reader;
  reader.feed(frame);
  auto got = reader.next();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->error, "");
  EXPECT_EQ(got->object["a"].get_ref<const std::string&>().size(), text.size());
}

TEST(HostFrame, RawFieldsReadBackAsTheJSONWriterWouldWriteThem) {
  json object = {{"id", {{"nested", "\x01qy-raw-0\x01"}}}, {"ok", true}, {"message", {{"k", 1}}}};
  std::vector<RawField> raw = {
      {{"message", "data"}, "QUJD"}, {{"top"}, "PQ=="}, {{"result"}, R"({"a":[1,"b"]})", true}};
  // The id's string looks like a marker once escaped; the writer must not splice into it.
  for (const json& start : {object, json{{"ok", true}, {"message", {{"k", 1}}}}}) {
    json expect = start;
    expect["message"]["data"] = "QUJD";
    expect["top"] = "PQ==";
    expect["result"] = {{"a", {1, "b"}}};
    FrameReader reader;
    reader.feed(encodeFrame(start, raw));
    auto got = reader.next();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->error, "");
    EXPECT_EQ(got->object, expect);
  }
}

TEST(HostFrame, LongStringsReadBackWhateverTheyHold) {
  const std::string plain(5000, 'Q');
  const std::string other(6000, 'z');
  struct Case {
    std::string name, body;
    json want;
  };
  const Case kCases[] = {
      {"value", R"({"data":")" + plain + R"(","n":1})", {{"data", plain}, {"n", 1}}},
      {"two values, nested", R"({"m":{"a":")" + plain + R"("},"b":[")" + other + R"("]})",
       {{"m", {{"a", plain}}}, {"b", {other}}}},
      {"key", R"({")" + plain + R"(":")" + other + R"("})", {{plain, other}}},
      {"with an escape", R"({"d":")" + plain + R"(\n"})", {{"d", plain + "\n"}}},
      {"non-ASCII", R"({"d":")" + plain + "中" + R"("})", {{"d", plain + "中"}}},
      {"duplicate key, the last wins", R"({"d":")" + plain + R"(","d":")" + other + R"("})",
       {{"d", other}}},
      {"beside an escaped NUL", R"({"d":")" + plain + R"(","e":"\u0000qy0"})",
       {{"d", plain}, {"e", std::string("\0qy0", 4)}}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    auto frame = parseFrameBody(c.body);
    EXPECT_EQ(frame.error, "");
    EXPECT_EQ(frame.object, c.want);
  }
  EXPECT_NE(parseFrameBody(R"({"d":")" + plain + R"(" "x"})").error, "");
  EXPECT_NE(parseFrameBody(R"({"d":")" + plain + "\x01" + R"("})").error, "");
}

TEST(Base64, DecodesOnlyStrictStandardText) {
  struct Case {
    std::string name, text;
    std::optional<std::string> bytes;
  };
  const Case kCases[] = {
      {"empty", "", std::string()},
      {"two fill", "YQ==", std::string("a")},
      {"one fill", "YWI=", std::string("ab")},
      {"no fill", "YWJj", std::string("abc")},
      {"binary", "AP8A", std::string("\0\xff\0", 3)},
      {"length not a multiple of 4", "YWJ", std::nullopt},
      {"line break", "YWJj\nYWJj", std::nullopt},
      {"leading blank", " YWJ", std::nullopt},
      {"URL alphabet", "-_-_", std::nullopt},
      {"fill in the middle", "YQ==YWJj", std::nullopt},
      {"three fill", "Y===", std::nullopt},
      {"fill inside the last group", "YW=j", std::nullopt},
      {"trailing blank", "YWJj ", std::nullopt},
      {"blank inside", "YW Jj", std::nullopt},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(base64Decode(c.text), c.bytes);
    if (c.bytes) {
      EXPECT_EQ(base64Encode(*c.bytes), c.text);
    }
  }
}

TEST(HostFrame, TextNeedsNoEscapingOnlyWhenPrintableASCIIWithoutQuoteOrBackslash) {
  std::string base64(1001, 'A');  // past a multiple of eight, so the tail is checked too
  EXPECT_TRUE(needsNoEscaping(base64));
  EXPECT_TRUE(needsNoEscaping(""));
  for (size_t at : {size_t{0}, size_t{7}, size_t{8}, size_t{999}, size_t{1000}}) {
    for (char c : {'\x1f', '\0', '\x80', '\xff', '"', '\\', '\n'}) {
      SCOPED_TRACE(::testing::Message() << "byte " << int(static_cast<unsigned char>(c)) << " at " << at);
      std::string text = base64;
      text[at] = c;
      EXPECT_FALSE(needsNoEscaping(text));
    }
  }
  EXPECT_TRUE(needsNoEscaping(" ~\x7f"));
}

// A peer that answers hello, then answers each request's frames in reverse order of arrival
// after an event, so a client must match answers by id.
class ReversingPeer {
 public:
  explicit ReversingPeer(const std::filesystem::path& path) {
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ReversingPeer() {
    thread_.join();
    ::close(listener_);
  }

 private:
  void send(int fd, const json& object) {
    std::string frame = encodeFrame(object);
    ASSERT_EQ(::write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  }
  void serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    FrameReader reader;
    std::vector<json> pending;
    char buffer[4096];
    while (pending.size() < 3) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      reader.feed(std::string_view(buffer, static_cast<size_t>(n)));
      while (auto frame = reader.next()) {
        json& request = frame->object;
        if (request["op"] == "hello") {
          send(fd, {{"id", request["id"]}, {"ok", true}, {"version", 1}, {"server", "peer"}});
        } else {
          pending.push_back(request);
        }
      }
    }
    send(fd, {{"event", "reloadVisibleMessages"}});
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
      send(fd, {{"id", (*it)["id"]}, {"ok", true}, {"echo", (*it)["n"]},
                {"size", (*it).value("data", std::string()).size()}});
    }
    ::close(fd);
  }
  int listener_ = -1;
  std::thread thread_;
};

TEST(HostClient, MatchesAnswersToRequestsByIdAndHandsOverEvents) {
  testing::TempDir dir;
  auto path = serviceSocketPath(dir.path());
  EXPECT_EQ(path, dir.path() / "ext.sock");
  EXPECT_FALSE(HostClient::connect(path, std::chrono::milliseconds(100)));  // nothing listens

  ReversingPeer peer(path);
  std::atomic<int> events{0};
  auto client = HostClient::connect(path, std::chrono::seconds(30),
                                    [&](const json& event) {
                                      if (event["event"] == "reloadVisibleMessages") ++events;
                                    });
  ASSERT_TRUE(client);
  EXPECT_EQ(client->hello()["server"], "peer");
  std::string data(100000, 'Q');
  std::vector<std::optional<json>> answers(3);
  std::vector<std::thread> threads;
  for (int n = 0; n < 3; ++n) {
    threads.emplace_back([&, n] {
      answers[n] = client->request({{"op", "x"}, {"n", n}, {"data", data.substr(0, n * 1000)}});
    });
  }
  for (auto& thread : threads) thread.join();
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE(n);
    ASSERT_TRUE(answers[n]);
    EXPECT_EQ((*answers[n])["echo"], n);
    EXPECT_EQ((*answers[n])["size"], n * 1000);
  }
  EXPECT_EQ(events, 1);
  // The peer has closed: a request now fails instead of waiting for ever.
  EXPECT_FALSE(client->request({{"op", "x"}}));
}

}  // namespace
}  // namespace qy::protocol
