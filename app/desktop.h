// The desktop around the settings application: opening a file or URL with the user's default
// application (`xdg-open`), and asking systemd whether the extension's user service is enabled.
// Both start real programs; tests point them at scripted stand-ins.
#pragma once

#include <string>

namespace qy::app {

// Starts `opener` (a program name or path; "xdg-open" normally) with `target` as its one
// argument, detached as platform::startDetached() starts programs (a session of its own, the
// standard streams on /dev/null, none of our signal settings). False when it could not be started.
// It is never killed: xdg-open may stay as long as the application it opened.
bool openDetached(const std::string& opener, const std::string& target);

// What `<systemctl> --user is-enabled quillory-ext.service` writes to standard output (standard
// error dropped); empty when the program cannot be started or says nothing. `systemctl` is a
// program name or path.
std::string userServiceState(const std::string& systemctl);

// The name of the extension's user service.
inline constexpr const char* kServiceUnit = "quillory-ext.service";

}  // namespace qy::app
