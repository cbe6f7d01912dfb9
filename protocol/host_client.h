// HostClient: a connection to the running extension service (`quillory-ext serve`) over its
// Unix socket `ext.sock` in the storage root, speaking the host protocol (version 1): frames of a
// 4-byte little-endian length and one UTF-8 JSON object; requests {"id", "op", …} answered by
// {"id", "ok", …}; events {"event", …} pushed after `subscribe`.
//
// Used by every program that is a host or talks to the service: `decode` (op `process`), the
// settings application (`hello`, `reloadVisibleMessages`), the web reader and the native host.
//
// Threads: request() may be called from several threads at once; answers are matched by id, so
// a slow request never holds up another. Events, and the news that the service closed the
// connection, are handed to the callbacks on the client's reader thread; they must not block, nor
// destroy the client. Destroying the client closes the connection and joins that thread, without
// calling `onClosed`.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qy::protocol {

class HostClient {
 public:
  using EventHandler = std::function<void(const nlohmann::json& event)>;
  using ClosedHandler = std::function<void()>;

  // Connects to the socket at `socketPath` and checks the service with `hello`. Nothing when no
  // service answers within `timeout` (no socket, a stale socket, a peer that is not a service).
  // `onClosed` is called once when the connection ends from the service's side (it stopped, or
  // sent a frame that is not one).
  static std::unique_ptr<HostClient> connect(const std::filesystem::path& socketPath,
                                             std::chrono::milliseconds timeout,
                                             EventHandler onEvent = nullptr,
                                             ClosedHandler onClosed = nullptr);
  virtual ~HostClient() = default;

  // Whether the connection has ended; every request from then on gets nothing.
  virtual bool closed() const = 0;

  // `hello`'s answer, as received when connecting.
  virtual const nlohmann::json& hello() const = 0;

  // Sends `request` (an object with "op" and its fields; the client sets "id") and waits for its
  // answer, the whole answer object. Nothing when the connection fails or closes first. A request
  // whose frame would be over the frame limit is not sent: its answer is {"id", "ok": false,
  // "error"} at once, the error a text for the user, and the connection goes on serving the
  // others.
  virtual std::optional<nlohmann::json> request(nlohmann::json request) = 0;
};

// The service's socket in a storage root.
std::filesystem::path serviceSocketPath(const std::filesystem::path& root);

// Whether `url` is a web reader's page as `hello` carries it: "http://127.0.0.1:PORT/", PORT
// 1-65535 without leading zeros, nothing else.
bool isReaderAddress(std::string_view url);

}  // namespace qy::protocol
