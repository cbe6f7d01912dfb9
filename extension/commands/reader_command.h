// `quillory-ext reader PATH [--port N] [--no-browser]`: the web mail reader as a host of its own,
// beside the running service (`quillory-ext serve`, the installed user unit included). It reads the
// mail at PATH, serves the page on 127.0.0.1 (port N, or any free port for 0 or none; the first
// line of standard output is the page's address), and opens it with xdg-open unless
// --no-browser. Messages go to the service through the host protocol; the reader reconnects and
// subscribes again when the service restarts. Only when no service answers at start does it
// translate with an engine of its own, in this process. SIGTERM or SIGINT stop it (status 0).
// Exit status 1 when the mail cannot be read or the port cannot be bound, 2 for a usage error.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "hosts/reader/reader_arguments.h"

namespace qy {

// Runs the reader until told to stop; the exit status. Call before the program starts any thread.
int runReaderCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// Runs the reader for parsed arguments until `signals` (the stop signals' descriptor, from
// platform::notifyOnTermination) becomes readable; the exit status. `serve --reader` runs this
// when another service already listens, so the reader goes beside that one.
int runReader(const reader::ReaderArguments& arguments, int signals, std::FILE* out,
              std::FILE* err);

}  // namespace qy
