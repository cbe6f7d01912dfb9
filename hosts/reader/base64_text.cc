// Base64 for the reader.
#include "hosts/reader/base64_text.h"

#include <cstdint>

#include "core/mime/mime_decode.h"

namespace qy::reader {

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(v >> shift) & 63]);
  }
  if (const size_t rest = bytes.size() - i; rest > 0) {
    const uint32_t v = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
    out.push_back(kAlphabet[(v >> 18) & 63]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string base64Decode(std::string_view text) {
  const Bytes decoded = MIME::decodeBase64({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  return {decoded.begin(), decoded.end()};
}

}  // namespace qy::reader
