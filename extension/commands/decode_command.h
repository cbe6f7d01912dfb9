// `quillory-ext decode [--wait SECONDS] [--json] [--status-header] [FILE|-]`: one message in, the message to show
// out, for mail filters (procmail, maildrop, fdm, notmuch hooks, aerc).
//
// Without --wait it waits until the translation has ended (a one-shot process gets no later
// reload); with --wait it answers after at most that long. Either way the process ends once the
// output is written and closed (after pruning the cache when that is due), since mail filters
// wait for it: a translation still running goes on in the running service that decoded the
// message, or, decoded in this process, is abandoned and caches nothing. A leading mbox
// envelope line ("From sender date") is set aside and put back unchanged in front of the output.
// An input larger than the engine takes is not buffered: it passes through unchanged, as a
// stream, and the log line names its whole size. Exit status: 0 for every outcome of the pipeline, 1 when the input cannot be read, 2
// for a usage error. --status-header puts the outcome and the banner into a header field of the
// output message (extension/status_header.h); without it the output is exactly the pipeline's.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/engine/engine.h"

namespace qy {

struct DecodeOptions {
  std::optional<double> wait;  // seconds; nothing: until the translation has ended
  bool json = false;
  bool statusHeader = false;   // X-Quillory-Status at the top of the output message
  std::string input = "-";     // a file, or "-" for standard input
};

// Parses the arguments after "decode"; nothing (and a message on `error`) for a usage error.
std::optional<DecodeOptions> parseDecodeArguments(const std::vector<std::string>& args,
                                                  std::string* error);

// Decodes the whole input (envelope line included) elsewhere, a running service say: the result,
// whose data then holds the envelope too; nothing to decode with `engine` instead.
using DecodeElsewhere =
    std::function<std::optional<Engine::Result>(std::string_view input, std::optional<double> wait)>;

// Runs the command on `engine` (unless `elsewhere` gives the result); writes the output to `out`
// and closes it, diagnostics to `err`. When jobs had to be abandoned, the process ends inside
// this call (with the status it returns otherwise).
int runDecode(const std::vector<std::string>& args, Engine& engine, std::FILE* in, std::FILE* out,
              std::FILE* err, const DecodeElsewhere& elsewhere = {});

}  // namespace qy
