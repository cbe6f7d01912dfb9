// Letting the user's browser in, without a secret on any command line.
//
// Each server launch makes a key (32 random bytes) that never leaves the user's files: it is
// written 0600 into the storage root (`<name>.key`), where only the user can read it. Whoever
// holds the key mints launch tokens: "EXPIRY-NONCE-MAC", a lifetime and a random nonce signed
// with HMAC-SHA256. The server takes a token once, in the address http://127.0.0.1:PORT/?k=TOKEN,
// exchanges it for a cookie and refuses it afterwards; a token past its expiry is refused too.
// A program that opens the page (the server itself, a second `quillory`, the settings page
// opening the reader) writes the address with a fresh token into a 0600 launch file
// (`open-<name>.html` in the storage root) and hands the browser only that file's name.
//
// Free functions, and TokenBook (the tokens a server has taken; any thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/thread_annotations.h"

namespace qy::web {

// A token handed to a browser through a launch file is used at once.
inline constexpr std::chrono::seconds kLaunchFileLife{120};
// The address printed for the user may be copied into a browser later.
inline constexpr std::chrono::seconds kPrintedLife{3600};
// No token is taken that claims to live longer than this.
inline constexpr std::chrono::seconds kLongestLife{3600};

// `bytes` random bytes from OpenSSL's generator as lower-case hexadecimal; nothing when the
// generator fails (never throws, never waits).
std::optional<std::string> randomHex(size_t bytes);

// A token for `key`, living `life` from `now` (seconds since the epoch); nothing when no random
// nonce can be had.
std::optional<std::string> mintToken(std::string_view key, int64_t now, std::chrono::seconds life);

// The tokens of one key that a server has taken. Thread-safe.
class TokenBook {
 public:
  explicit TokenBook(std::string key) : key_(std::move(key)) {}
  TokenBook(const TokenBook&) = delete;
  TokenBook& operator=(const TokenBook&) = delete;

  // True the first time a valid, unexpired token signed with our key is presented.
  bool redeem(std::string_view token, int64_t now) QY_EXCLUDES(mutex_);
  const std::string& key() const { return key_; }

 private:
  // Tokens remembered until they expire; a book this full takes no more until some do.
  static constexpr size_t kMaxRemembered = 4096;
  const std::string key_;
  Mutex mutex_;
  std::map<std::string, int64_t, std::less<>> taken_ QY_GUARDED_BY(mutex_);  // nonce → expiry
};

// Seconds since the epoch now: tokens are minted and checked in different processes.
int64_t unixNow();

// The key file of server `name` ("settings", "reader") in `root`.
std::filesystem::path keyFile(const std::filesystem::path& root, std::string_view name);
bool writeKey(const std::filesystem::path& root, std::string_view name, std::string_view key);
std::optional<std::string> readKey(const std::filesystem::path& root, std::string_view name);

// `address` ("http://127.0.0.1:PORT/") with a token for `key`: what a user's browser opens.
std::optional<std::string> launchAddress(std::string_view address, std::string_view key,
                                         std::chrono::seconds life);

// Opens server `name` at `address` in the user's browser: a fresh token from the key file in
// `root`, a launch file in `root` that forwards to it, and `opener` (a program name or path,
// "xdg-open" normally) started detached with that file's file: address. False when any step
// fails (no key, no file, the opener cannot start).
bool openPage(const std::string& opener, const std::filesystem::path& root, std::string_view name,
              std::string_view address);

// The same with the key in hand (the server's own, even when its key file could not be written).
bool openPageWithKey(const std::string& opener, const std::filesystem::path& root, std::string_view name,
                     std::string_view address, std::string_view key);

// The launch file's text: a page that forwards at once to `url`.
std::string launchPage(std::string_view url);

}  // namespace qy::web
