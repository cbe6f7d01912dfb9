// Banner table and log line formatting of the message pipeline.
#include "core/engine/engine_report.h"

#include <cstdio>

namespace qy::EngineReport {
namespace {

void appendEscape(std::string& out, unsigned codePoint) {
  char escape[12];
  std::snprintf(escape, sizeof escape, "\\u{%X}", codePoint);
  out += escape;
}

}  // namespace

std::string listLiteral(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    const std::string& item = items[i];
    for (size_t at = 0; at < item.size(); ++at) {
      const auto ch = static_cast<unsigned char>(item[at]);
      const auto nextByte = at + 1 < item.size() ? static_cast<unsigned char>(item[at + 1]) : 0;
      switch (ch) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': out += "\\0"; break;
        default:
          if (ch < 0x20 || ch == 0x7F) {
            appendEscape(out, ch);
          } else if (ch == 0xC2 && nextByte >= 0x80 && nextByte <= 0x9F) {
            // U+0080 to U+009F (C2 80 to C2 9F), the C1 controls, are control characters too.
            appendEscape(out, nextByte);
            ++at;
          } else {
            out += static_cast<char>(ch);
          }
      }
    }
    out += '"';
  }
  out += "]";
  return out;
}

Banner bannerFor(bool pending, const std::vector<std::string>& errors, int64_t done,
                 int64_t total, bool truncated, std::string_view languageName) {
  const std::string progress = std::to_string(done) + "/" + std::to_string(total);
  if (pending) {
    return {"正在翻译为" + std::string(languageName) + "\u2026 " + progress, "设置", "pending",
            "partial"};
  }
  if (!errors.empty()) {
    return {"翻译未完成（" + progress + "）：" + errors.front(), "重试", "error", "error"};
  }
  std::string banner = "已翻译为" + std::string(languageName);
  if (truncated) banner += kTruncatedSuffix;
  return {banner, "设置", "done", "translated"};
}

std::string decodeLine(size_t size, std::string_view note, int64_t done, int64_t total,
                       std::string_view mode, bool dark, bool truncated, int64_t elapsedMs,
                       const std::vector<std::string>& errors) {
  std::string line = "decode " + std::to_string(size) + "B -> ";
  line += note;
  line += " " + std::to_string(done) + "/" + std::to_string(total) + " segments mode=";
  line += mode;
  line += std::string(" dark=") + (dark ? "true" : "false");
  line += std::string(" truncated=") + (truncated ? "true" : "false");
  line += " " + std::to_string(elapsedMs) + "ms errors=" + listLiteral(errors);
  return line;
}

}  // namespace qy::EngineReport
