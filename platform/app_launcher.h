// Starting the settings application, `quillory`, from the extension: the program beside the
// running binary when there is one (an installed or built tree keeps both together), else the
// first `quillory` on PATH. It runs detached: in a session of its own, with standard input and
// output on /dev/null, not a child of ours (so a service that ends does not take it along, and
// no zombie is left).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qy::platform {

// The name of the settings application's program.
inline constexpr const char* kSettingsAppName = "quillory";

// The settings application's program: `kSettingsAppName` in `besideDirectory` when executable
// there, else on `searchPath` (PATH when empty); nothing when there is none.
std::optional<std::string> findSettingsApp(const std::filesystem::path& besideDirectory,
                                           std::string_view searchPath = {});

// Starts `argv` (argv[0] an absolute path) detached; false when it could not be started.
bool startDetached(const std::vector<std::string>& argv);

// Finds the settings application beside this process's binary or on PATH and starts it
// detached; false (and nothing started) when it is not installed.
bool startSettingsApp();

}  // namespace qy::platform
