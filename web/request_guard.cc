// The local servers' request checks; see request_guard.h.
#include "web/request_guard.h"

#include <openssl/crypto.h>

namespace qy::web {

bool hostAllowed(std::string_view host, int port) {
  const std::string suffix = ":" + std::to_string(port);
  return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool originAllowed(std::string_view origin, int port) {
  const std::string suffix = ":" + std::to_string(port);
  return origin == "http://127.0.0.1" + suffix || origin == "http://localhost" + suffix;
}

bool fetchSiteAllowed(std::string_view site) {
  return site.empty() || site == "same-origin" || site == "none";
}

std::vector<std::string> cookieValues(std::string_view header, std::string_view name) {
  std::vector<std::string> values;
  std::string_view rest = header;
  while (!rest.empty()) {
    const size_t end = rest.find(';');
    std::string_view item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    if (item.size() > name.size() && item.starts_with(name) && item[name.size()] == '=')
      values.emplace_back(item.substr(name.size() + 1));
  }
  return values;
}

bool sameSecret(std::string_view presented, std::string_view secret) {
  return !secret.empty() && presented.size() == secret.size() &&
         CRYPTO_memcmp(presented.data(), secret.data(), secret.size()) == 0;
}

}  // namespace qy::web
