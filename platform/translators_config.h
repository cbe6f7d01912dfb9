// TranslatorsConfig: the optional file translators.json in the storage root, which says whether
// Apertium is consulted, which local translation programs (command providers) the user has, and
// which local translation servers (platform/local_server.h):
//   {"apertium": true,
//    "commands": [{"command": ["/usr/local/bin/my-mt", "--serve"],
//                  "pairs": [["en", "zh-Hans"], ["*", "es"]]}],
//    "servers": [{"api": "ollama", "url": "http://127.0.0.1:11434", "model": "qwen2.5:7b"}]}
// The file names programs to run, so it is honoured only when it is a regular file (not a link)
// owned by the user that neither group nor others can write, in a directory of the user's own,
// and of at most kMaxFileBytes; otherwise read() says why it is not used. Reading is tolerant: a malformed command or
// pair is skipped, a missing or mistyped "apertium" keeps its default (true). A server entry that
// cannot be used (not a loopback http:// address, no api or model) is left out of `servers`, and
// `serverRefusals` says why, in Chinese and naming the entry.
// A plain value; pure functions; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/local_server.h"

namespace qy::platform {

struct CommandSpec {
  std::vector<std::string> command;                          // program and arguments
  std::vector<std::pair<std::string, std::string>> pairs;  // (source or "*", target)
  bool operator==(const CommandSpec&) const = default;
};

struct TranslatorsFile;

struct TranslatorsConfig {
  // A list of a few programs; a file far larger is not ours.
  static constexpr size_t kMaxFileBytes = 1024 * 1024;

  bool apertium = true;
  std::vector<CommandSpec> commands;
  std::vector<ServerSpec> servers;          // in file order, each usable
  std::vector<std::string> serverRefusals;  // the entries left out, each with its reason
  bool operator==(const TranslatorsConfig&) const = default;

  // Nothing when the text is not a JSON object.
  static std::optional<TranslatorsConfig> parse(std::string_view json);
  // The file's settings, or the defaults with the reason it is not used (a missing file is
  // simply absent: defaults, no reason).
  static TranslatorsFile read(const std::filesystem::path& file);
  // read(file).config.
  static TranslatorsConfig load(const std::filesystem::path& file);
  // Why the file is not used, in the user's language and naming the file; nothing when it is
  // used or missing.
  static std::optional<std::string> refusal(const std::filesystem::path& file);
};

struct TranslatorsFile {
  TranslatorsConfig config;
  std::optional<std::string> refusal;
};

}  // namespace qy::platform
