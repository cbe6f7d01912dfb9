// Storage root resolution and directory creation.
#include "core/config/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "core/base/own_directory.h"

namespace qy::Paths {
namespace {

std::optional<std::string> processEnv(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> userDatabaseHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result ||
      !result->pw_dir || !*result->pw_dir)
    return std::nullopt;
  return std::string(result->pw_dir);
}

}  // namespace

std::filesystem::path resolveRoot(
    const std::function<std::optional<std::string>(const char*)>& env,
    const std::optional<std::string>& passwdHome) {
  if (auto home = env("QY_HOME"); home && !home->empty()) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(*home, error);
    return error ? std::filesystem::path(*home) : absolute;
  }
  if (auto data = env("XDG_DATA_HOME"); data && !data->empty() && (*data)[0] == '/')
    return std::filesystem::path(*data) / "Quillory";
  std::string home = passwdHome.value_or(env("HOME").value_or("/"));
  return std::filesystem::path(home) / ".local" / "share" / "Quillory";
}

const std::filesystem::path& root() {
  static const std::filesystem::path kRoot = resolveRoot(processEnv, userDatabaseHome());
  return kRoot;
}

std::filesystem::path config() { return root() / "config.json"; }
std::filesystem::path log() { return root() / "qy.log"; }
std::filesystem::path cache() { return root() / "cache"; }

void ensureDirectory(const std::filesystem::path& directory) {
  // Walk down from the first missing ancestor, creating each level with 0700 ...
  std::vector<std::filesystem::path> missing;
  std::filesystem::path current = directory.parent_path();
  struct stat info {};
  while (!current.empty() && ::lstat(current.c_str(), &info) != 0 && errno == ENOENT) {
    missing.push_back(current);
    if (current == current.parent_path()) break;
    current = current.parent_path();
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) return;
  }
  // ... but the directory itself only inside a parent of the user's own that nobody else can
  // write (a storage root handed over by another user gets no cache directory of ours).
  const auto parent = OwnDirectory::open(directory.parent_path(), {.followOwnLink = true});
  if (parent.ok())
    OwnDirectory::openAt(parent.fd.get(), directory.filename().string(), directory, {.create = true});
}

bool isCacheFileName(std::string_view name) {
  constexpr size_t kFingerprintDigits = 24;
  constexpr size_t kSignatureDigits = 10;
  constexpr std::string_view kExtension = ".json";
  constexpr size_t kLength = kFingerprintDigits + 1 + kSignatureDigits + kExtension.size();
  auto isLowerHex = [](std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char ch) {
      return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f');
    });
  };
  return name.size() == kLength && isLowerHex(name.substr(0, kFingerprintDigits)) &&
         name[kFingerprintDigits] == '-' &&
         isLowerHex(name.substr(kFingerprintDigits + 1, kSignatureDigits)) &&
         name.substr(kLength - kExtension.size()) == kExtension;
}

void ensure() { ensureDirectory(cache()); }

}  // namespace qy::Paths
