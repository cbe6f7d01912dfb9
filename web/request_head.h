// What the local web servers accept as a request head before any handler sees it, and whose
// connection it is. Pure functions of bytes; any thread.
//
// A head is the request line and the header lines up to the empty line. The servers read it
// themselves, within these limits, before the HTTP library parses it: a client that sends too
// much, too many lines or nothing useful is refused early and holds nothing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string_view>

namespace qy::web {

struct HeadLimits {
  size_t bytes = 16 * 1024;  // the request line and every header line, with their line ends
  size_t lines = 100;        // the request line and the header lines
  bool operator==(const HeadLimits&) const = default;
};

enum class HeadState {
  incomplete,    // no empty line yet, within the limits
  complete,      // the head ends within the limits
  tooLarge,      // no end within `bytes`
  tooManyLines,  // more than `lines` lines before the end
  malformed,     // not an HTTP request line (a TLS greeting, binary noise)
};

// Looks at the bytes received so far. The head ends at the first "\r\n\r\n" (the HTTP library
// ends it there too); `headEnd` is then set to the offset just past it.
HeadState checkHead(std::string_view received, const HeadLimits& limits, size_t* headEnd = nullptr);

// The uid that owns the TCP socket at `local` talking to `remote`, both written as the kernel
// writes them in /proc/net/tcp ("0100007F:1F90"), found in the text of that table; nothing when
// no line matches.
std::optional<uid_t> socketOwner(std::string_view table, std::string_view local, std::string_view remote);

// The uid of the process at the other end of a connection accepted on 127.0.0.1 (read from
// /proc/net/tcp); nothing when it cannot be told (the peer already gone). Where the table
// cannot be read at all, the user's own uid.
std::optional<uid_t> loopbackPeerUid(int fd);

}  // namespace qy::web
