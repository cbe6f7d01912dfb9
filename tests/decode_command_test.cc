// quillory-ext decode: arguments, the mbox envelope line, exit statuses and output forms.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "extension/commands/decode_command.h"
#include "platform/base64.h"
#include "protocol/result_json.h"
#include "support/serve_process.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {

using protocol::resultJSON;
using protocol::splitEnvelope;
using protocol::writeResultJSON;
namespace {

using testing::runProcess;
using testing::TempDir;

TEST(DecodeCommand, ParsesArguments) {
  struct Case { const char* name; std::vector<std::string> args; bool ok; std::optional<double> wait; bool json; std::string input; };
  const Case kCases[] = {
      {"defaults", {}, true, std::nullopt, false, "-"},
      {"wait and json", {"--wait", "1.5", "--json", "m.eml"}, true, 1.5, true, "m.eml"},
      {"wait equals", {"--wait=0", "-"}, true, 0.0, false, "-"},
      {"wait missing", {"--wait"}, false, {}, false, ""},
      {"wait not a number", {"--wait", "soon"}, false, {}, false, ""},
      {"wait negative", {"--wait", "-1"}, false, {}, false, ""},
      {"wait infinite", {"--wait", "inf"}, false, {}, false, ""},
      {"unknown option", {"--fast"}, false, {}, false, ""},
      {"two inputs", {"a", "b"}, false, {}, false, ""},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string error;
    auto options = parseDecodeArguments(c.args, &error);
    ASSERT_EQ(options.has_value(), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(options->wait, c.wait);
    EXPECT_EQ(options->json, c.json);
    EXPECT_EQ(options->input, c.input);
  }
}

TEST(DecodeCommand, SetsTheEnvelopeLineAside) {
  auto [envelope, message] = splitEnvelope("From a@b Tue Dec  8 09:14:20 2026\nSubject: x\n\nhi");
  EXPECT_EQ(envelope, "From a@b Tue Dec  8 09:14:20 2026\n");
  EXPECT_EQ(message, "Subject: x\n\nhi");
  auto [none, whole] = splitEnvelope("From: a@b\n\nhi");
  EXPECT_EQ(none, "");
  EXPECT_EQ(whole, "From: a@b\n\nhi");
}

TEST(DecodeCommand, ExitStatusesAndUnchangedOutput) {
  TempDir home;
  testing::writeFile(home / "config.json", R"({"mode": "off", "darkMode": "off"})");
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  const std::string message = "From a@b Tue Dec  8 09:14:20 2026\nSubject: x\n\nhello\n";

  auto plain = runProcess({QY_EXT_BINARY, "decode"}, message, env);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, message);

  auto json = runProcess({QY_EXT_BINARY, "decode", "--json", "-"}, message, env);
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(nlohmann::json::parse(json.out),
            nlohmann::json::parse(R"({"data": null, "banner": null, "action": "设置",
                                      "context": {}, "note": "off", "subject": null})"));

  EXPECT_EQ(runProcess({QY_EXT_BINARY, "decode", (home / "missing.eml").string()}, "", env).status, 1);
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "decode", "--wait", "x"}, "", env).status, 2);
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "frobnicate"}, "", env).status, 2);
}

// The frame is written around the Base64 text directly, in pieces; it must still be the JSON
// object a library would make, for envelopes of every length modulo 3, messages as short as 0
// bytes and long enough for several pieces, whether it is made as a string or written out.
TEST(DecodeCommand, JsonFrameHoldsTheBase64OfEnvelopeAndMessage) {
  std::string large(100'001, 'x');  // written in several pieces
  for (size_t i = 0; i < large.size(); i += 7) large[i] = static_cast<char>(i % 251);
  for (std::string envelope : {"", "F", "Fr", "From a@b Tue Dec  8 09:14:20 2026\n"}) {
    for (std::string data : {std::string(), std::string("a"), std::string("ab"), std::string("abc"),
                             std::string("Subject: x\n\n\xe4\xbd\xa0\"\\\x01"), large}) {
      SCOPED_TRACE("envelope " + std::to_string(envelope.size()) + ", data " + std::to_string(data.size()));
      Engine::Result result;
      result.data = Bytes(data.begin(), data.end());
      result.banner = "已翻译为\"西班牙语\"\n";
      result.context = {{"h", "0123"}, {"k", "0123-45"}, {"s", "done"}};
      result.note = "translated";
      result.subject = "季度\"报告\"";
      const std::string json = resultJSON(result, envelope);
      ASSERT_EQ(json.back(), '\n');
      std::FILE* file = std::tmpfile();
      ASSERT_TRUE(writeResultJSON(file, result, envelope));
      std::rewind(file);
      std::string written(json.size() + 1, '\0');
      written.resize(std::fread(written.data(), 1, written.size(), file));
      std::fclose(file);
      EXPECT_TRUE(written == json);
      EXPECT_EQ(nlohmann::json::parse(json),
                (nlohmann::json{{"data", platform::base64Encode(envelope + data)},
                                {"banner", *result.banner},
                                {"action", "设置"},
                                {"context", {{"h", "0123"}, {"k", "0123-45"}, {"s", "done"}}},
                                {"note", "translated"},
                                {"subject", *result.subject}}));
      // And back, as a host reads the service's answer.
      auto back = protocol::resultFromJSON(nlohmann::json::parse(json));
      ASSERT_TRUE(back);
      const std::string whole = envelope + data;
      EXPECT_TRUE(back->data == Bytes(whole.begin(), whole.end()));
      EXPECT_EQ(back->banner, result.banner);
      EXPECT_EQ(back->context, result.context);
      EXPECT_EQ(back->subject, result.subject);
      EXPECT_EQ(back->note, result.note);
    }
  }
  Engine::Result none;
  none.note = "off";
  EXPECT_EQ(resultJSON(none, "From x\n"),
            "{\"data\":null,\"banner\":null,\"action\":\"设置\",\"context\":{},\"note\":\"off\","
            "\"subject\":null}\n");
}

// A result read back from a service: a field of the wrong type makes it no result (the caller
// then decodes on its own), never an exception.
TEST(DecodeCommand, ResultJsonOfTheWrongShapeIsNoResult) {
  const nlohmann::json good = {{"data", nullptr}, {"banner", nullptr}, {"action", "a"},
                               {"context", nlohmann::json::object()}, {"note", "n"}};
  EXPECT_TRUE(protocol::resultFromJSON(good));
  const std::pair<const char*, nlohmann::json> cases[] = {
      {"data", 5}, {"data", "not base64!"}, {"action", nullptr}, {"note", 1},
      {"context", "x"}, {"context", {{"s", 1}}}};
  for (const auto& [name, value] : cases) {
    nlohmann::json bad = good;
    bad[name] = value;
    EXPECT_FALSE(protocol::resultFromJSON(bad)) << bad.dump();
  }
  EXPECT_FALSE(protocol::resultFromJSON(nlohmann::json::array()));
}

// An input larger than the engine takes is not held in memory: it streams through unchanged
// (here 600 MB under a 400 MB address-space limit), from a pipe or a file.
TEST(DecodeCommand, OversizedInputPassesThroughAsAStream) {
  TempDir home;
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  const std::string big = "Subject: big\n\n" + std::string(Engine::kMaxMessageBytes, 'a') + "tail\n";
  testing::writeFile(home / "big.eml", big);
  auto fromFile = runProcess({QY_EXT_BINARY, "decode", (home / "big.eml").string()}, "", env);
  EXPECT_EQ(fromFile.status, 0) << fromFile.err;
  EXPECT_TRUE(fromFile.out == big);
  auto json = runProcess({QY_EXT_BINARY, "decode", "--json"}, big, env);
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out)["note"], "邮件太大");
  EXPECT_TRUE(nlohmann::json::parse(json.out)["data"].is_null());

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#else
  const std::string script =
      "set -o pipefail; head -c 600000000 /dev/zero | (ulimit -v 400000; exec \"$0\" decode) | wc -c";
  auto stream = runProcess({"/bin/bash", "-c", script, QY_EXT_BINARY}, "", env);
  EXPECT_EQ(stream.status, 0) << stream.err;
  EXPECT_EQ(stream.out, "600000000\n");
#endif
}

// A small command provider that writes each request to requests.log and then blocks until the
// file "release" exists (or answers with an error when "fail" exists).
void installProvider(const TempDir& home) {
  testing::writeFile(home / "provider.py", R"(import json, os, sys, time
home = sys.argv[1]
for line in sys.stdin:
    request = json.loads(line)
    with open(os.path.join(home, "requests.log"), "a") as log:
        log.write(line)
    if os.path.exists(os.path.join(home, "fail")):
        print(json.dumps({"error": "engine broke", "id": request["id"]}), flush=True)
        continue
    while not os.path.exists(os.path.join(home, "release")):
        time.sleep(0.02)
    print(json.dumps({"translations": ["es:" + t for t in request["texts"]], "id": request["id"]}), flush=True)
)");
  nlohmann::json command = {{"command", {"/usr/bin/python3", (home / "provider.py").string(),
                                          home.path().string()}},
                            {"pairs", nlohmann::json::array({nlohmann::json::array({"*", "es"})})}};
  testing::writeFile(home / "translators.json",
                     nlohmann::json{{"apertium", false}, {"commands", nlohmann::json::array({command})}}
                         .dump());
  std::filesystem::permissions(home / "translators.json", std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_write);
  testing::writeFile(home / "config.json", R"({"targetLanguage": "es"})");
}

const std::string kMail =
    "Subject: Train\nMIME-Version: 1.0\nContent-Type: text/plain; charset=utf-8\n\n"
    "I have booked the train for Friday morning and will arrive at noon.\n";

// decode ends once its output is written; with a running service, a translation still running
// goes on there, and the service caches it for the next time the message is decoded.
TEST(DecodeCommand, ATranslationLeftRunningGoesOnInTheService) {
  testing::ServeProcess service;
  ASSERT_TRUE(service.start()) << service.serviceErrors();
  service.holdTranslations();
  const auto env = service.environment((service.home() / "decode-provider.log").string());
  auto first = runProcess({QY_EXT_BINARY, "decode", "--wait", "0", "--json"}, kMail, env);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(nlohmann::json::parse(first.out)["note"], "partial");
  service.releaseTranslations();
  // decode has exited; the service finishes the job and stores it.
  auto cachedFiles = [&] {
    int cached = 0;
    for (auto& entry : std::filesystem::directory_iterator(service.home() / "cache"))
      cached += entry.path().extension() == ".json";
    return cached;
  };
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (cachedFiles() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(cachedFiles(), 1) << service.log();
  auto second = runProcess({QY_EXT_BINARY, "decode", "--wait", "0", "--json"}, kMail, env);
  EXPECT_EQ(nlohmann::json::parse(second.out)["note"], "translated");
  EXPECT_FALSE(std::filesystem::exists(service.home() / "decode-provider.log"))
      << "decode started no engine of its own";
}

// The log line of a message too large to take names its size, not the bytes read of it: from
// the file, or counted while it streams through a pipe.
TEST(DecodeCommand, TooLargeMessagesAreLoggedWithTheirWholeSize) {
  TempDir home;
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  const std::string envelope = "From a@b Tue Dec  8 09:14:20 2026\n";
  const std::string big = "Subject: big\n\n" + std::string(40'000'001 - 19, 'a') + "tail\n";
  ASSERT_EQ(big.size(), 40'000'001u);
  testing::writeFile(home / "big.eml", envelope + big);
  const std::string want = "B -> skipped (邮件太大)";
  struct Case { const char* name; std::vector<std::string> args; bool fromPipe; };
  const Case kCases[] = {
      {"file", {(home / "big.eml").string()}, false},
      {"pipe", {}, true},
      {"pipe, JSON", {"--json"}, true},
      {"file, JSON", {"--json", (home / "big.eml").string()}, false},
      {"pipe, status header", {"--status-header"}, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(home / "qy.log");
    // Through a shell: the output goes to /dev/null while the input streams in from a pipe.
    std::string command = "\"$0\" decode";
    for (const auto& arg : c.args) command += " '" + arg + "'";
    const std::string script =
        (c.fromPipe ? "set -o pipefail; cat \"$1\" | " + command : command) + " > /dev/null";
    auto run = runProcess({"/bin/bash", "-c", script, QY_EXT_BINARY, (home / "big.eml").string()}, "", env);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string log = testing::readFile(home / "qy.log");
    EXPECT_NE(log.find(" decode 40000001" + want), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  }
}

// A failed key's pause holds for the next process: the second decode of the message asks the
// engine nothing and shows the same error.
TEST(DecodeCommand, TheNextProcessKeepsAFailedKeysPause) {
  TempDir home;
  installProvider(home);
  testing::writeFile(home / "fail", "");
  const std::map<std::string, std::string> env = {{"QY_HOME", home.path().string()}};
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    auto decoded = runProcess({QY_EXT_BINARY, "decode", "--json"}, kMail, env);
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    auto result = nlohmann::json::parse(decoded.out);
    EXPECT_EQ(result["note"], "error");
    const std::string banner = result["banner"];
    EXPECT_EQ(banner.rfind("翻译未完成（0/1）：系统翻译出错：", 0), 0u) << banner;
    EXPECT_TRUE(banner.ends_with("engine broke")) << banner;
  }
  const std::string requests = testing::readFile(home / "requests.log");
  EXPECT_EQ(std::count(requests.begin(), requests.end(), '\n'), 1);
}

}  // namespace
}  // namespace qy
