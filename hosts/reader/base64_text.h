// Standard Base64 (with '=' fill, no line breaks) for the protocol's message and context fields
// and for data: URLs. Decoding is the MIME code's forgiving decoder. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qy::reader {

std::string base64Encode(std::string_view bytes);
std::string base64Decode(std::string_view text);

}  // namespace qy::reader
