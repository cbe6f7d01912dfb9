// Who may talk to a local web server: the checks every request passes before it reaches a
// page or an API. Pure functions of header values; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qy::web {

// The Host header of a request to our own socket: "127.0.0.1:PORT" or "localhost:PORT". Any
// other name is a page elsewhere that had its name resolve to 127.0.0.1 (DNS rebinding).
bool hostAllowed(std::string_view host, int port);
// An Origin header, when a request has one, names this server exactly.
bool originAllowed(std::string_view origin, int port);
// Sec-Fetch-Site, when the browser sends it: only our own pages ("same-origin") or the user
// ("none": typed, a bookmark, another program). A page on another port of 127.0.0.1 is
// "same-site" and is refused like any other site.
bool fetchSiteAllowed(std::string_view site);
// Every value of the cookie `name` in a Cookie header ("a=1; b=2"), in order. A page on another
// port can set a cookie of the same name with a narrower path, which the browser then sends
// first: the caller must accept any one of them, not only the first.
std::vector<std::string> cookieValues(std::string_view header, std::string_view name);
// Compares a presented secret with ours in time independent of where they differ.
bool sameSecret(std::string_view presented, std::string_view secret);

}  // namespace qy::web
