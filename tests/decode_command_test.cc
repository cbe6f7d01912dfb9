// quillory-ext decode: arguments, the mbox envelope line, exit statuses and output forms.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "extension/decode_command.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace qy {
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
                                      "context": {}, "note": "off"})"));

  EXPECT_EQ(runProcess({QY_EXT_BINARY, "decode", (home / "missing.eml").string()}, "", env).status, 1);
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "decode", "--wait", "x"}, "", env).status, 2);
  EXPECT_EQ(runProcess({QY_EXT_BINARY, "frobnicate"}, "", env).status, 2);
}

}  // namespace
}  // namespace qy
