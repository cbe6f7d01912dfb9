// Fuzzes the frames the native host writes to Thunderbird: the first byte picks a frame limit,
// the rest (repaired to UTF-8) is the answer text. Invariants: every frame's length prefix is its
// body's size; a split answer's every piece is a JSON object within the limit; the pieces'
// texts, joined in order, are the answer byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "core/base/unicode.h"
#include "protocol/addon_frames.h"

namespace {

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// The smallest limit whose pieces always fit: the keys, numbers and one escaped character.
constexpr size_t kSmallestHonouredLimit = 160;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t maxBody = 16 + size_t{data[0]} * 4;
  const std::string text =
      qy::Unicode::repairUtf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  const auto frames = qy::protocol::addonFrames(text, 9, maxBody);
  require(!frames.empty(), "at least one frame");
  std::string joined;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string& frame = frames[i];
    require(frame.size() >= 4, "a length prefix");
    uint32_t n = 0;
    for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(frame[static_cast<size_t>(b)]);
    require(n == frame.size() - 4, "the prefix is the body's size");
    const std::string body = frame.substr(4);
    if (frames.size() == 1 && body == text) return 0;
    require(maxBody < kSmallestHonouredLimit || body.size() <= maxBody, "a piece within the limit");
    const auto piece = nlohmann::json::parse(body, nullptr, false);
    require(piece.is_object() && piece["piece"] == i && piece["pieces"] == frames.size() &&
                piece["text"].is_string(),
            "a numbered piece");
    joined += piece["text"].get<std::string>();
  }
  require(joined == text, "the pieces join back to the answer");
  return 0;
}
