// Base64 through OpenSSL's EVP block coder.
#include "platform/base64.h"

#include <openssl/evp.h>

#include <cstring>

namespace qy::platform {
std::string base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return std::string();
  size_t fill = 0;
  if (text.back() == '=') fill = text[text.size() - 2] == '=' ? 2 : 1;
  // EVP_DecodeBlock rejects every character outside the alphabet but three: it skips blanks at
  // either end and reads '=' anywhere as zero bits. The protocol's Base64 has neither.
  auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  if (blank(text.front()) || blank(text.back()) ||
      std::memchr(text.data(), '=', text.size() - fill) != nullptr) {
    return std::nullopt;
  }
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0 || static_cast<size_t>(n) < fill) return std::nullopt;
  out.resize(static_cast<size_t>(n) - fill);
  return out;
}

}  // namespace qy::platform
