// The message frame's document under the colour scheme the reader chose on its page, not the
// browser's. Pure function; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qy::reader {

// Media conditions on prefers-color-scheme become conditions that always or never hold, and the
// root takes that scheme (so a mail without colours of its own gets the scheme's canvas and text).
std::string withColorScheme(std::string_view html, bool dark);

}  // namespace qy::reader
