// The settings application's only line to the running extension service (`quillory-ext serve`,
// over `ext.sock` in the storage root): whether it runs, asking it to have the mail hosts reload
// their visible messages, and learning the address of the web reader it serves. Each call
// connects, asks and disconnects; when no service answers, nothing happens. Any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace qy::app {

// How long a call waits for the service to answer. A running service answers `hello` at once;
// a stale socket, or a process that is not the service, must not hold up a save.
inline constexpr std::chrono::milliseconds kServiceTimeout{2000};

// Whether a service answers on the socket (its `hello`), however it was started: by systemd or
// by hand with `quillory-ext serve`.
bool serviceAnswers(const std::filesystem::path& root);

// op `reloadVisibleMessages`; the number of hosts it reached, nothing without a service.
std::optional<int> askServiceToReload(const std::filesystem::path& root);

// `hello`'s `reader`, when a running service serves the web reader.
std::optional<std::string> serviceReaderURL(const std::filesystem::path& root);

}  // namespace qy::app
