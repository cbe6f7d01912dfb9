// The texts the engine writes: banners of the pipeline's outcomes and its log lines.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qy::EngineReport {

// A list literal of quoted strings: ["a", "b \"c\""], backslash escapes for quotes, backslashes
// and control characters; "[]" when empty.
std::string listLiteral(const std::vector<std::string>& items);

// What the done banner ends with when the message was too long to translate whole.
inline constexpr std::string_view kTruncatedSuffix = "（邮件太长，只翻了前面一部分）";

// Banner, button and state of a translated message (pending, error or done).
struct Banner {
  std::string banner;
  std::string action;
  std::string state;
  std::string note;
};
Banner bannerFor(bool pending, const std::vector<std::string>& errors, int64_t done,
                 int64_t total, bool truncated, std::string_view languageName);

// "decode 1234B -> translated 3/3 segments mode=bilingual dark=false truncated=false 12ms errors=[]"
std::string decodeLine(size_t size, std::string_view note, int64_t done, int64_t total,
                       std::string_view mode, bool dark, bool truncated, int64_t elapsedMs,
                       const std::vector<std::string>& errors);

}  // namespace qy::EngineReport
