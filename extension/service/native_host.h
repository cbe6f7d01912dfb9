// `quillory-ext native-host`: the host protocol for Thunderbird's add-on over standard input and
// output, with the browser's native-messaging framing (a 4-byte little-endian length, then one
// UTF-8 JSON object).
//
// Requests are read from `in`, frames up to 64 MiB. They are answered by the backend on a pool
// of kMaxRequestsInFlight threads, so a slow decode never holds up another request (a backend
// that throws is answered with an error); answers and events go to `out`
// one frame sequence at a time, as pieces when larger than Thunderbird's 1 MiB (addon_frames.h).
// A bad frame (too long, not a JSON object) is answered with {"id": null, "ok": false, "error"}
// and ends the host, as it ends a socket connection. runNativeHost() returns once `in` has closed
// (Thunderbird disconnected) or after a bad frame, when every request in flight has been
// answered.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "protocol/host_frame.h"

namespace qy {

// Where the host's requests are answered: the running service, or an engine in this process.
class HostBackend {
 public:
  using EventSink = std::function<void(const nlohmann::json& event)>;
  virtual ~HostBackend() = default;
  // The JSON text of the answer to `request` ({"id", "ok", …}, the id echoed). Never throws;
  // may block while a decode waits. Called from several threads at once.
  virtual std::string handle(const nlohmann::json& request) = 0;
};

// Makes the backend; events it receives go to `sink` (which may be called from any thread).
using BackendFactory = std::function<std::unique_ptr<HostBackend>(HostBackend::EventSink sink)>;

// Requests answered at once at most; a further request waits to be read until one is done.
// Thunderbird's add-on has a few per displayed message.
using protocol::kMaxRequestsInFlight;

// Runs the host over the descriptors `in` and `out`. 0 when `in` closed, 1 after a bad frame.
int runNativeHost(int in, int out, const BackendFactory& makeBackend);

// The body to show for a decodedMessage answer whose message is `answerData` (Base64), when it
// differs from the request's message: its display document (core/doc/display_document.h), made
// safe for the add-on's sandboxed frame. Nothing when the message came back unchanged (the mail
// client's own rendering is right) or has no text body.
std::optional<std::string> displayBodyFor(const nlohmann::json& request,
                                          const std::string& answerData);

}  // namespace qy
