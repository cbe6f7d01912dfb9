// `quillory-ext install-service` and `uninstall-service`: the service as a systemd user unit,
// quillory-ext.service, in the user's systemd configuration ($XDG_CONFIG_HOME/systemd/user, else
// ~/.config/systemd/user). Installing writes the unit (ExecStart: this binary's absolute path and
// `serve`; restarted on failure) and enables and starts it; uninstalling stops, disables and
// removes it. Where there is no user systemd (a container, CI) it says so in one line, leaves
// the unit written, and exits 1.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qy {

// The unit's file name.
inline constexpr const char* kServiceUnitName = "quillory-ext.service";

// The unit's text for the binary at `binary`; `home` is the storage root the installing user
// set with QY_HOME, carried into the service's environment.
std::string serviceUnitText(const std::filesystem::path& binary,
                            const std::optional<std::string>& home);

// The directory of the user's own units.
std::filesystem::path userUnitDirectory();

int runInstallService(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);
int runUninstallService(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace qy
