// ExtensionLink: the reader's connection to the extension service, over the service's socket
// with the host protocol, like any other host. It connects on first use, subscribes to the
// service's reload events (handed to `onReload`), and connects again when the service went away
// (one new attempt per request), so a restarted service is picked up without restarting the
// reader.
//
// Threads: call() from any thread; requests on one connection run concurrently. `onReload` runs
// on the protocol client's reader thread and must not block. Destroying the link closes the
// connection and joins that thread, after which `onReload` is no longer called.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/base/thread_annotations.h"
#include "platform/host_client.h"

namespace qy::reader {

// How long connecting to the service may take before the reader shows mail without it.
inline constexpr std::chrono::milliseconds kConnectTimeout{5000};

class ExtensionLink {
 public:
  ExtensionLink(std::filesystem::path socketPath, std::function<void()> onReload);
  ExtensionLink(const ExtensionLink&) = delete;
  ExtensionLink& operator=(const ExtensionLink&) = delete;

  // The request's whole answer, or nothing when the service cannot be reached.
  std::optional<nlohmann::json> call(const nlohmann::json& request) QY_EXCLUDES(mutex_);

 private:
  std::shared_ptr<platform::HostClient> connection(bool fresh) QY_EXCLUDES(mutex_);

  const std::filesystem::path socketPath_;
  const std::function<void()> onReload_;
  Mutex mutex_;
  std::shared_ptr<platform::HostClient> client_ QY_GUARDED_BY(mutex_);
};

}  // namespace qy::reader
