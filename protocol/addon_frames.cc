// Cutting an answer into frames Thunderbird accepts.
#include "protocol/addon_frames.h"

#include <nlohmann/json.hpp>

namespace qy::protocol {
namespace {

// Room in a piece's body for everything but its text's escaped characters: the keys, three
// 20-digit numbers and the quotes.
constexpr size_t kPieceOverhead = 128;

std::string withHeader(std::string body) {
  const uint32_t n = static_cast<uint32_t>(body.size());
  std::string frame;
  frame.reserve(4 + body.size());
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<char>((n >> shift) & 0xFF));
  }
  frame += body;
  return frame;
}

// Bytes a JSON string writer spends on one byte of text.
size_t escapedSize(unsigned char c) {
  if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
    return 2;
  }
  return c < 0x20 ? 6 : 1;
}

bool isContinuationByte(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::vector<std::string> addonFrames(std::string_view json, uint64_t seq, size_t maxBody) {
  if (json.size() <= maxBody) {
    return {withHeader(std::string(json))};
  }
  // Text bytes per piece, escaped; at least one character of four bytes (six when escaped)
  // so that every piece makes progress.
  const size_t budget = maxBody > kPieceOverhead + 24 ? maxBody - kPieceOverhead : 24;
  std::vector<std::string_view> texts;
  size_t begin = 0;
  while (begin < json.size()) {
    size_t end = begin;
    size_t cost = 0;
    while (end < json.size() && cost + escapedSize(static_cast<unsigned char>(json[end])) <= budget) {
      cost += escapedSize(static_cast<unsigned char>(json[end]));
      ++end;
    }
    while (end < json.size() && end > begin && isContinuationByte(static_cast<unsigned char>(json[end]))) {
      --end;
    }
    if (end == begin) {  // a budget smaller than one character: take the character whole
      do {
        ++end;
      } while (end < json.size() && isContinuationByte(static_cast<unsigned char>(json[end])));
    }
    texts.push_back(json.substr(begin, end - begin));
    begin = end;
  }
  std::vector<std::string> frames;
  frames.reserve(texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    const nlohmann::json piece = {{"seq", seq}, {"piece", i}, {"pieces", texts.size()},
                                  {"text", std::string(texts[i])}};
    frames.push_back(withHeader(piece.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
  }
  return frames;
}

}  // namespace qy::protocol
