// `quillory-ext serve`: the extension as a long-lived process for every mail host. It listens on
// `ext.sock` in the storage root and speaks the host protocol (docs/host-protocol.md) until
// SIGTERM, SIGINT or SIGHUP, then stops accepting, removes the socket, lets running requests
// finish and their answers go out for a short grace, closes the connections, ends the
// translation engines' processes and exits 0. A second `serve` on the same root exits 1 with a
// message.
//
// ServeOptions lets a program built on serve add to it: a hook that runs once the socket
// listens (the web reader starts there and registers its URL, which `hello` then reports), and
// one that runs instead of the service when another already serves this root (the reader then
// runs beside that one).
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "extension/service/socket_server.h"

namespace qy {

struct ServeOptions {
  std::function<void(SocketServer&)> onStarted;  // runs once the socket listens
  // Runs when another service already listens on this root, given the stop signals' descriptor;
  // its result is the exit status. Without it, serve says so and exits 1.
  std::function<int(int signals)> besideRunningService;
};

// Parses the arguments after "serve"; nothing (and a message on `error`) for a usage error.
std::optional<ServeOptions> parseServeArguments(const std::vector<std::string>& args,
                                                std::string* error);

// Runs the service; the exit status. Call before the program starts any thread: it takes the
// stop signals through a descriptor.
int runServe(const std::vector<std::string>& args, std::FILE* err, ServeOptions options = {});

}  // namespace qy
