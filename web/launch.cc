// Launch keys, tokens and launch files; see launch.h.
#include "web/launch.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <charconv>

#include "core/base/file_io.h"
#include "platform/app_launcher.h"
#include "platform/child_process.h"

namespace qy::web {
namespace {

constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 16;
constexpr size_t kMacBytes = 16;  // of SHA-256's 32: plenty against guessing, a shorter address

std::string hex(const unsigned char* bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::optional<std::string> mac(std::string_view key, std::string_view text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &size) ||
      size < kMacBytes)
    return std::nullopt;
  return hex(digest, kMacBytes);
}

// A path as the path of a file: address (RFC 8089), every byte but the unreserved ones escaped.
std::string fileAddress(const std::filesystem::path& path) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path.string()) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
  }
  return out;
}

bool isHex(std::string_view text, size_t size) {
  if (text.size() != size) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

std::optional<std::string> randomHex(size_t bytes) {
  unsigned char buffer[64];
  if (bytes > sizeof buffer || RAND_bytes(buffer, static_cast<int>(bytes)) != 1) return std::nullopt;
  return hex(buffer, bytes);
}

std::optional<std::string> mintToken(std::string_view key, int64_t now, std::chrono::seconds life) {
  const std::optional<std::string> nonce = randomHex(kNonceBytes);
  if (!nonce || key.empty()) return std::nullopt;
  const std::string signedPart = std::to_string(now + life.count()) + "-" + *nonce;
  const std::optional<std::string> signature = mac(key, signedPart);
  if (!signature) return std::nullopt;
  return signedPart + "-" + *signature;
}

bool TokenBook::redeem(std::string_view token, int64_t now) {
  const size_t first = token.find('-');
  const size_t second = first == std::string_view::npos ? first : token.find('-', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view expiryText = token.substr(0, first);
  const std::string_view nonce = token.substr(first + 1, second - first - 1);
  const std::string_view signature = token.substr(second + 1);
  int64_t expiry = 0;
  const auto [end, error] = std::from_chars(expiryText.data(), expiryText.data() + expiryText.size(), expiry);
  if (error != std::errc() || end != expiryText.data() + expiryText.size()) return false;
  if (!isHex(nonce, kNonceBytes * 2) || !isHex(signature, kMacBytes * 2)) return false;
  if (expiry <= now || expiry > now + kLongestLife.count()) return false;
  const std::optional<std::string> expected = mac(key_, token.substr(0, second));
  if (!expected || CRYPTO_memcmp(expected->data(), signature.data(), kMacBytes * 2) != 0) return false;

  MutexLock lock(mutex_);
  std::erase_if(taken_, [now](const auto& entry) { return entry.second <= now; });
  if (taken_.size() >= kMaxRemembered || taken_.contains(nonce)) return false;
  taken_.emplace(std::string(nonce), expiry);
  return true;
}

int64_t unixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::filesystem::path keyFile(const std::filesystem::path& root, std::string_view name) {
  return root / (std::string(name) + ".key");
}

bool writeKey(const std::filesystem::path& root, std::string_view name, std::string_view key) {
  return FileIO::writeAtomically(keyFile(root, name), std::string(key) + "\n", false);
}

std::optional<std::string> readKey(const std::filesystem::path& root, std::string_view name) {
  std::optional<std::string> text = FileIO::readRegularFile(keyFile(root, name), 256);
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  if (!isHex(*text, kKeyBytes * 2)) return std::nullopt;
  return text;
}

std::optional<std::string> launchAddress(std::string_view address, std::string_view key,
                                         std::chrono::seconds life) {
  const std::optional<std::string> token = mintToken(key, unixNow(), life);
  if (!token) return std::nullopt;
  return std::string(address) + "?k=" + *token;
}

std::string launchPage(std::string_view url) {
  // The address holds only digits, letters, '-', ':', '/', '?', '=' and '.': nothing to escape.
  const std::string target(url);
  return "<!DOCTYPE html>\n<html lang=\"zh-Hans\"><head><meta charset=\"utf-8\">"
         "<meta name=\"referrer\" content=\"no-referrer\">"
         "<meta http-equiv=\"refresh\" content=\"0;url=" + target + "\">"
         "<title>正在打开 Quillory…</title></head>\n"
         "<body><p><a href=\"" + target + "\">打开 Quillory</a></p></body></html>\n";
}

bool openPage(const std::string& opener, const std::filesystem::path& root, std::string_view name,
              std::string_view address) {
  const std::optional<std::string> key = readKey(root, name);
  return key && openPageWithKey(opener, root, name, address, *key);
}

bool openPageWithKey(const std::string& opener, const std::filesystem::path& root, std::string_view name,
                     std::string_view address, std::string_view key) {
  if (root.empty()) return false;
  const std::optional<std::string> url = launchAddress(address, key, kLaunchFileLife);
  if (!url) return false;
  const std::filesystem::path file = root / ("open-" + std::string(name) + ".html");
  if (!FileIO::writeAtomically(file, launchPage(*url), false)) return false;
  const std::optional<std::string> program = platform::findProgram(opener);
  return program && platform::startDetached({*program, fileAddress(file)});
}

}  // namespace qy::web
