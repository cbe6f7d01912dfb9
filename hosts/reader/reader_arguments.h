// The reader's options, of `quillory-ext reader PATH` and of `quillory-ext serve`: `--reader PATH`
// (serve's: serve the web mail reader for the mail at PATH), `--port N` (its port on 127.0.0.1;
// 0 or none: a free one) and `--no-browser` (do not open it with xdg-open). serve's are taken
// out of its argument list, so the service parses what remains. Pure functions; any thread.
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
// malformed (a missing value, a port outside 0-65535, --port or --no-browser without --reader).
// Port 0 is any free port.
std::optional<ReaderArguments> takeReaderArguments(std::vector<std::string>& args, std::string& error);

// The arguments of `quillory-ext reader PATH [--port N] [--no-browser]`; nothing, with the reason
// in `error`, for a missing or second PATH, an unknown option or a malformed one.
std::optional<ReaderArguments> readerCommandArguments(const std::vector<std::string>& args,
                                                      std::string& error);

}  // namespace qy::reader
