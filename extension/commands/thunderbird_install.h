// `quillory-ext install-thunderbird` and `uninstall-thunderbird`: the native-messaging manifest
// through which Thunderbird starts this program for the Quillory add-on, and where the add-on's
// file is.
//
// The manifest is `~/.mozilla/native-messaging-hosts/quillory.json` under the home Thunderbird
// uses ($HOME when set and absolute, else the user database's); it names this binary by its
// absolute path and allows only the add-on's id. Thunderbird starts that binary with two
// arguments, the manifest's path and the add-on's id: isBrowserLaunch() recognises them, so no
// wrapper script is needed.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qy {

// The native-messaging name the add-on connects to, and the add-on's id.
inline constexpr std::string_view kNativeHostName = "quillory";
inline constexpr std::string_view kThunderbirdAddonId = "quillory@quillory";

// The manifest file under `home`.
std::filesystem::path nativeManifestPath(const std::filesystem::path& home);
// The manifest that starts `binary`.
nlohmann::json nativeManifest(const std::filesystem::path& binary);
// Whether the command line is the one Thunderbird starts a native host with: an absolute path
// of a .json manifest, then (in current versions) the add-on's id.
bool isBrowserLaunch(const std::vector<std::string>& args);
// The add-on file beside `binary`: the build folder's quillory.xpi or the installed copy under
// share/quillory; nothing when neither exists.
std::optional<std::filesystem::path> findAddonFile(const std::filesystem::path& binary);

// The commands. `home` and `binary` come from the caller (main: thunderbirdHome() and
// /proc/self/exe). Exit status 0 when done, 1 when the manifest cannot be written or removed,
// 2 for a usage error.
int runInstallThunderbird(const std::vector<std::string>& args, const std::filesystem::path& home,
                          const std::filesystem::path& binary, std::FILE* out, std::FILE* err);
int runUninstallThunderbird(const std::vector<std::string>& args,
                            const std::filesystem::path& home, std::FILE* out, std::FILE* err);

// The home directory Thunderbird resolves `~` with; nothing when there is none.
std::optional<std::filesystem::path> thunderbirdHome();
// This program's absolute path.
std::filesystem::path currentBinary();

}  // namespace qy
