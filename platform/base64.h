// Standard Base64 (RFC 4648 alphabet, '=' fill, no line breaks) as the host protocol carries
// message bytes and contexts, through OpenSSL's block coder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qy::platform {

std::string base64Encode(std::string_view bytes);
// The bytes of strict standard Base64 text; nothing for any other character, a length that is
// not a multiple of 4, or misplaced fill.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace qy::platform
