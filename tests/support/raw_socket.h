// A connection of a test's own to the service's Unix socket, without a client's reader thread,
// for tests and benchmarks that play a host which misbehaves (never reads, sends too much).
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

namespace qy::test {

// A connected stream socket to `path` (non-blocking when asked), or -1. The caller closes it.
int connectRaw(const std::filesystem::path& path, bool nonBlocking = false);

// Writes `bytes`, giving up when the socket takes nothing for `patience`; whether all went.
bool sendPatiently(int fd, std::string_view bytes, std::chrono::milliseconds patience);

}  // namespace qy::test
