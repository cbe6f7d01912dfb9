// The native host's backends: forwarding to the running service over its socket, or (when none
// runs) the extension in this process.
//
// Both add to a decodedMessage answer whose message was rewritten the field message.html, the
// body to show in its place (displayBodyFor()), so the add-on needs no MIME parser of its own.
//
// The forwarding backend keeps one protocol::ServiceConnection, which connects again as soon as
// the service went away and a new one answers (subscribing again when Thunderbird had
// subscribed); when a request finds no service any more it hands this and every later request to
// the fallback backend, subscribed likewise, and closes the connection (so a service that comes
// back later sends no second copy of the events): the add-on keeps working and keeps receiving
// reload events. Thread-safe: handle() may run on several threads at once.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>

#include "extension/service/native_host.h"

namespace qy {

// How long connecting to the service may take before the host decides there is none: long
// enough for a busy service to answer `hello`, short enough that Thunderbird's first message
// does not wait noticeably when no service runs (a missing socket fails at once).
inline constexpr std::chrono::milliseconds kServiceConnectTimeout{2000};

// The extension in this process: the protocol's operations over the process's security handler,
// with Thunderbird as the one connection (its `subscribe`, its panels, the engine's reload
// requests as events). Needs the platform services installed. One per process.
std::unique_ptr<HostBackend> makeLocalBackend(HostBackend::EventSink sink);

// A backend forwarding to the service at `socket`; nothing when no service answers there.
std::unique_ptr<HostBackend> connectServiceBackend(const std::filesystem::path& socket,
                                                   HostBackend::EventSink sink,
                                                   BackendFactory fallback);

}  // namespace qy
