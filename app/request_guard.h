// Who may talk to the settings server: the checks every request passes before it reaches the
// page or the API. Pure functions of header values; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qy::app {

// The Host header of a request to our own socket: "127.0.0.1:PORT" or "localhost:PORT". Any
// other name is a page elsewhere that had its name resolve to 127.0.0.1 (DNS rebinding).
bool hostAllowed(std::string_view host, int port);
// An Origin header, when a request has one, names this server exactly.
bool originAllowed(std::string_view origin, int port);
// The value of the cookie `name` in a Cookie header ("a=1; b=2"); empty when absent.
std::string cookieValue(std::string_view header, std::string_view name);
// Compares a presented secret with ours in time independent of where they differ.
bool sameSecret(std::string_view presented, std::string_view secret);

}  // namespace qy::app
