// TranslatorsEdit: changes to translators.json made on the user's behalf (the settings page's
// choice of a local translation server). An edit keeps everything else in the file as it was:
// the other entries, unknown keys and their order. The file is replaced atomically and written
// owner-only (0600), so it still passes TranslatorsConfig's rules; a file those rules refuse
// (a link, another user's, writable by others, not a JSON object) is left alone and the reason
// given instead. Free functions; any thread (two edits at once: the later rename wins).
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace qy::platform::TranslatorsEdit {

// Puts the server `entry` (an object with at least "api" and "url") first under "servers",
// replacing an entry of the same api and url wherever it stood, so that it is the first server
// consulted. With `preferEveryPair`, "apertium" becomes false, so Apertium no longer comes first
// for the pairs it has. A missing file is created. Nothing on success, else why not, in the
// user's language (the file unchanged).
std::optional<std::string> putServerFirst(const std::filesystem::path& file,
                                          const nlohmann::ordered_json& entry,
                                          bool preferEveryPair);

}  // namespace qy::platform::TranslatorsEdit
