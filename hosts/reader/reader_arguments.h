// The reader's options of `quillory-ext serve`: `--reader PATH` (serve the web mail reader for
// the mail at PATH), `--port N` (its port on 127.0.0.1; a free one by default) and
// `--no-browser` (do not open it with xdg-open). They are taken out of the argument list, so
// the service parses what remains. Pure functions; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qy::reader {

struct ReaderArguments {
  std::optional<std::filesystem::path> mail;  // without --reader no reader runs
  int port = 0;
  bool openBrowser = true;
  bool operator==(const ReaderArguments&) const = default;
};

// Removes the reader's options from `args`; nothing, with the reason in `error`, when one is
// malformed (a missing value, a port outside 1-65535, --port or --no-browser without --reader).
std::optional<ReaderArguments> takeReaderArguments(std::vector<std::string>& args, std::string& error);

}  // namespace qy::reader
