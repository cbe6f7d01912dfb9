// Frames to Thunderbird's add-on: an answer that fits goes whole; a larger one goes as pieces,
// each frame within Thunderbird's limit, each text whole UTF-8, joined back byte for byte.
#include "protocol/addon_frames.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace qy::protocol {
namespace {

uint32_t lengthOf(const std::string& frame) {
  uint32_t n = 0;
  for (int i = 3; i >= 0; --i) {
    n = (n << 8) | static_cast<unsigned char>(frame[static_cast<size_t>(i)]);
  }
  return n;
}

// Checks every frame against `maxBody` and joins the pieces' texts in order.
std::string join(const std::vector<std::string>& frames, uint64_t seq, size_t maxBody) {
  std::string joined;
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("piece " + std::to_string(i));
    const std::string& frame = frames[i];
    EXPECT_EQ(lengthOf(frame), frame.size() - 4);
    EXPECT_LE(frame.size() - 4, maxBody);
    const auto piece = nlohmann::json::parse(frame.substr(4));  // throws on broken UTF-8
    EXPECT_EQ(piece["seq"], seq);
    EXPECT_EQ(piece["piece"], i);
    EXPECT_EQ(piece["pieces"], frames.size());
    joined += piece["text"].get<std::string>();
  }
  return joined;
}

TEST(AddonFrames, AnAnswerThatFitsGoesWhole) {
  const std::string json = R"({"id":1,"ok":true,"message":null})";
  const auto frames = addonFrames(json, 7);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(lengthOf(frames[0]), json.size());
  EXPECT_EQ(frames[0].substr(4), json);
}

TEST(AddonFrames, AnAnswerOverOneMebibyteIsJoinedBackByteIdentical) {
  nlohmann::json answer = {{"id", "a"}, {"ok", true}};
  std::string html;
  while (html.size() < (size_t{3} << 20)) {
    html += "<p class=\"t\">译文 \\ \"引号\" \U0001F600 tab\t</p>\n";
  }
  answer["message"] = {{"data", std::string(size_t{1} << 20, 'Q')}, {"html", html}};
  const std::string json = answer.dump();
  const auto frames = addonFrames(json, 42);
  EXPECT_GT(frames.size(), 4u);
  EXPECT_EQ(join(frames, 42, kMaxAddonFrameSize), json);
}

TEST(AddonFrames, SmallLimitsCutOnlyBetweenCharacters) {
  struct Case {
    const char* name;
    std::string text;
  };
  const Case kCases[] = {
      {"four-byte characters", "\"" + std::string(40, 'x') + "\U0001F600\U0001F601\U0001F602\U0001F603\""},
      {"all escaped", std::string(300, '"')},
      {"escaped controls", "\"\\u0001\\u0002\\n\\\\\"" + std::string(200, '\\')},
      {"Chinese", "\"中文和标点：“”…中文和标点：“”…中文和标点：“”…中文和标点：“”…\""},
  };
  for (const auto& c : kCases) {
    for (size_t maxBody : {size_t{20}, size_t{161}, size_t{300}}) {
      SCOPED_TRACE(std::string(c.name) + ", limit " + std::to_string(maxBody));
      const auto frames = addonFrames(c.text, 3, maxBody);
      if (c.text.size() <= maxBody) {
        EXPECT_EQ(frames.size(), 1u);
        continue;
      }
      // A limit below the pieces' own overhead cannot be met; the texts still join back.
      EXPECT_EQ(join(frames, 3, maxBody < 160 ? SIZE_MAX : maxBody), c.text);
    }
  }
}

}  // namespace
}  // namespace qy::protocol
